#include "LinkKinds.h"

std::vector<LinkKind> productLinkKinds() {
    // One entry per kind, in the order the tick asks them: a HID evaluator
    // first, then an evaluator behind a PL2303 adapter, then behind an FTDI one.
    return {};
}
