#include "StrComparison.h"

bool StrComparison::Contains(std::string_view Text, std::string_view Part) {
    if (Part.empty() || Text.empty() || Part.size() > Text.size()) {
        return false;
    }
    return Text.find(Part) != std::string_view::npos;
}
