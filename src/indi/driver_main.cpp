// indiserver starts this program and talks INDI with it over stdin and
// stdout; INDI's driver library provides main() and hands every request to
// the device below.
#include <memory>

#include "indi/noctra_ccd.h"

static std::unique_ptr<noctra::indi::NoctraCcd> noctra_ccd(new noctra::indi::NoctraCcd());
