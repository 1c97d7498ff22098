// The catalogue search: the voice catalogue for a user account, saved as a file.
#pragma once
#include <cstdint>
#include <string>

#include "platform/files.h"
#include "platform/interrupt.h"

// The endpoint this program was built with (the build setting PENDREL_CATALOGUE_URL).
extern const wchar_t* const kCatalogueUrl;
// How many seconds a transfer may crawl at fewer than 1 byte a second before
// it is given up: 30, fixed with the endpoint.
extern const std::uint32_t kCatalogueStallSeconds;

// True for an endpoint on the reserved example domain ("example" or a name
// ending in ".example"), which never answers: a build nobody configured.
bool IsPlaceholderEndpoint(const std::wstring& url);

// Fetches the catalogue and writes it to outPath (replaced in one step);
// false on any failure, with the previous file, if any, left intact.
bool SaveRemoteVoicesJson(const std::wstring& username, const std::wstring& password, const std::wstring& outPath);

// Posts the catalogue request and streams the answer into `file` (named
// `fileName` in messages), logging a preview of its start; false with the
// cause in a few words in `failure`. The interrupts the watch sees stop it.
bool FetchRemoteVoicesJson(const std::wstring& username, const std::wstring& password, plat::FileHandle file,
                           const std::wstring& fileName, plat::InterruptWatch& interrupts, std::wstring& failure);

// Whether a file name in a folder is that of a download's temporary file,
// which only a run that was killed or lost its power leaves behind.
bool IsCatalogueLeftover(const std::wstring& name);

// The request body: {"tipo":"1","vozID":"","username":"...","password":"..."}
// with both texts escaped as JSON strings.
std::string CatalogueRequestBody(const std::wstring& username, const std::wstring& password);

// Deletes the catalogue's temporary files "quelto_voices.json" and
// "quelto_selected.txt" from the user's temporary folder, logging each.
// Without a temporary folder (no full path) nothing is deleted.
void RemoveTemporalFiles();
