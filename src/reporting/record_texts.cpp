#include "reporting/record_texts.h"

#include <cstddef>

namespace brelo::reporting {

void RecordTexts::dropFront(size_t n) {
    if (n >= ends.size()) {
        text.clear();
        ends.clear();
        return;
    }
    if (n == 0)
        return;
    const size_t cut = ends[n - 1] + 1;  // with the comma after it
    text.erase(0, cut);
    ends.erase(ends.begin(), ends.begin() + static_cast<std::ptrdiff_t>(n));
    for (size_t& end : ends)
        end -= cut;
}

}  // namespace brelo::reporting
