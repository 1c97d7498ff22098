// The catalogue search: the voice catalogue for a user account, saved as a file.
#pragma once
#include <string>

// Fetches the catalogue and writes it to outPath; false on any failure.
bool SaveRemoteVoicesJson(const std::wstring& username, const std::wstring& password, const std::wstring& outPath);
