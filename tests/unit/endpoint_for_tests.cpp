// The unit tests call the catalogue functions directly; no request leaves the machine.
#include "catalogue/catalogue.h"

const wchar_t* const kCatalogueUrl = L"http://localhost:9/unit-tests-send-nothing";
const std::uint32_t kCatalogueStallSeconds = 30;
