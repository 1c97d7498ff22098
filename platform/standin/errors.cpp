// The stand-in's message table: Windows' English texts for the codes the
// stand-in produces and a few HRESULTs; WinHTTP has no table here.
#include "platform/errors.h"

namespace plat {

std::wstring FormatMessageText(std::uint32_t id, MessageTable table) {
    if (table == MessageTable::WinHttp) return L"";
    static const struct {
        std::uint32_t id;
        const wchar_t* text;
    } messages[] = {
        {0, L"The operation completed successfully."},
        {2, L"The system cannot find the file specified."},
        {3, L"The system cannot find the path specified."},
        {5, L"Access is denied."},
        {6, L"The handle is invalid."},
        {8, L"Not enough memory resources are available to process this command."},
        {14, L"Not enough memory resources are available to complete this operation."},
        {32, L"The process cannot access the file because it is being used by another process."},
        {80, L"The file exists."},
        {87, L"The parameter is incorrect."},
        {112, L"There is not enough space on the disk."},
        {122, L"The data area passed to a system call is too small."},
        {145, L"The directory is not empty."},
        {161, L"The specified path is invalid."},
        {183, L"Cannot create a file when that file already exists."},
        {234, L"More data is available."},
        {1921, L"The name of the file cannot be resolved by the system."},
        {259, L"No more data is available."},
        {1018, L"Illegal operation attempted on a registry key that has been marked for deletion."},
        {1336, L"The access control list (ACL) structure is invalid."},
        {1337, L"The security ID structure is invalid."},
        {1338, L"The security descriptor structure is invalid."},
        {1344, L"No more memory is available for security information updates."},
        {0x80004001u, L"Not implemented"},
        {0x80004003u, L"Invalid pointer"},
        {0x80004005u, L"Unspecified error"},
        {0x80040154u, L"Class not registered"},
        {0x8007000Eu, L"Not enough memory resources are available to complete this operation."},
        {0x80070057u, L"The parameter is incorrect."},
    };
    for (const auto& m : messages)
        if (m.id == id) return m.text;
    return L"";
}

}  // namespace plat
