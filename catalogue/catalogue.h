// The catalogue search: the voice catalogue for a user account, saved as a file.
#pragma once
#include <string>

// The endpoint this program was built with (the build setting PENDREL_CATALOGUE_URL).
extern const wchar_t* const kCatalogueUrl;

// Fetches the catalogue and writes it to outPath (replaced in one step);
// false on any failure, with the previous file, if any, left intact.
bool SaveRemoteVoicesJson(const std::wstring& username, const std::wstring& password, const std::wstring& outPath);

// Posts the catalogue request; true with the answer's bytes in outJsonUtf8.
bool FetchRemoteVoicesJson(const std::wstring& username, const std::wstring& password, std::string& outJsonUtf8);

// The request body: {"tipo":"1","vozID":"","username":"...","password":"..."}
// with both texts escaped as JSON strings.
std::string CatalogueRequestBody(const std::wstring& username, const std::wstring& password);
