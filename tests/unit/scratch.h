// Scratch folders in the machine's temporary folder, removed again by the test.
#pragma once
#include <string>

class ScratchFolder {
public:
    explicit ScratchFolder(const std::wstring& name);
    ~ScratchFolder();
    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& child) const { return path_ + L"\\" + child; }

private:
    std::wstring path_;
};

// Deletes a folder and everything below it (test clean-up only).
void RemoveTreeForTest(const std::wstring& path);

std::string ReadBytes(const std::wstring& path);
bool Exists(const std::wstring& path);
