#include "state/iconstate.h"

namespace {

// Set once when the library loads, before any port opens.
IconStateStep iconStateStep = nullptr;

}  // namespace

void SetIconStateStep(IconStateStep step) { iconStateStep = step; }

DWORD UpdateIconState(PortContext* ctx, DWORD h, DWORD m, DWORD l) {
    return iconStateStep ? iconStateStep(ctx, h, m, l) : 0;
}
