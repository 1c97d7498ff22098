// The catalogue endpoint, fixed when the program is built.
#include "catalogue/catalogue.h"

const wchar_t* const kCatalogueUrl = L"" PENDREL_CATALOGUE_URL;
const std::uint32_t kCatalogueStallSeconds = 30;
