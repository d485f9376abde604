#include "Win.h"

namespace win {

namespace {
const Backend* active = nullptr;
}

const Backend& backend() {
    if (active == nullptr) {
        active = &defaultBackend();
    }
    return *active;
}

void useBackend(const Backend& backend) {
    active = &backend;
}

} // namespace win
