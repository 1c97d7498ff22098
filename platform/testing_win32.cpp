#include "platform/testing.h"
#include "platform/win32.h"

#include <wincrypt.h>

namespace plat::testing {

void PrepareTestMachine() {}

bool RunningUnderWine() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool IsStandIn() { return false; }

}  // namespace plat::testing

namespace plat::testing {

void* HoldFileOpen(const std::wstring& path) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

bool CreateLink(const std::wstring& link, const std::wstring& target, bool directory) {
    const DWORD flags = (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | 0x2;  // ..._ALLOW_UNPRIVILEGED_CREATE
    return ::CreateSymbolicLinkW(link.c_str(), target.c_str(), flags) != 0;
}

bool TrustRootCertificate(const std::string& der) {
    HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == nullptr) return false;
    const BOOL ok = ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                                       reinterpret_cast<const BYTE*>(der.data()),
                                                       static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                                       nullptr);
    ::CertCloseStore(store, 0);
    return ok != 0;
}

bool DistrustRootCertificate(const std::string& der) {
    PCCERT_CONTEXT wanted = ::CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                           static_cast<DWORD>(der.size()));
    if (wanted == nullptr) return false;
    HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    bool gone = store != nullptr;
    if (store != nullptr) {
        // Every copy: a test run twice may have added it twice.
        while (PCCERT_CONTEXT found =
                   ::CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr)) {
            if (!::CertDeleteCertificateFromStore(found)) {  // frees `found` either way
                gone = false;
                break;
            }
        }
        ::CertCloseStore(store, 0);
    }
    ::CertFreeCertificateContext(wanted);
    return gone;
}

void ReleaseHeldFile(void* hold) {
    if (hold != nullptr) ::CloseHandle(hold);
}

}  // namespace plat::testing
