// The catalogue search: the voice catalogue for a user account, saved as a file.
#pragma once
#include <string>

#include "platform/files.h"

// The endpoint this program was built with (the build setting PENDREL_CATALOGUE_URL).
extern const wchar_t* const kCatalogueUrl;

// True for an endpoint on the reserved example domain ("example" or a name
// ending in ".example"), which never answers: a build nobody configured.
bool IsPlaceholderEndpoint(const std::wstring& url);

// Fetches the catalogue and writes it to outPath (replaced in one step);
// false on any failure, with the previous file, if any, left intact.
bool SaveRemoteVoicesJson(const std::wstring& username, const std::wstring& password, const std::wstring& outPath);

// Posts the catalogue request and streams the answer into `file` (named
// `fileName` in messages), logging a preview of its start; false with the
// cause in a few words in `failure`.
bool FetchRemoteVoicesJson(const std::wstring& username, const std::wstring& password, plat::FileHandle file,
                           const std::wstring& fileName, std::wstring& failure);

// The request body: {"tipo":"1","vozID":"","username":"...","password":"..."}
// with both texts escaped as JSON strings.
std::string CatalogueRequestBody(const std::wstring& username, const std::wstring& password);
