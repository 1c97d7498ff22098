#include "catalogue/catalogue.h"

bool SaveRemoteVoicesJson(const std::wstring&, const std::wstring&, const std::wstring&) {
    // Not built yet: the HTTPS request to the catalogue server. Without it no
    // catalogue can be fetched, which the caller sees as a failure (exit 1).
    return false;
}
