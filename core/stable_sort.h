// A stable sort for comparisons that may not be a strict weak order.
#pragma once

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

namespace nimbrel {

// Bottom-up merge sort. std::stable_sort is undefined for an intransitive comparison (a CPU
// tolerance makes the row order one); this one only ever merges neighbouring runs through a
// buffer, so it stays in bounds and makes O(n log n) comparisons whatever `less` answers. Equal
// elements keep their order; among elements `less` cannot rank consistently the order is some
// permutation of them.
template <typename RandomIt, typename Less>
void tolerantStableSort(RandomIt first, RandomIt last, Less less)
{
    using Value = typename std::iterator_traits<RandomIt>::value_type;
    const auto size = std::distance(first, last);
    if (size < 2)
        return;
    std::vector<Value> from(std::make_move_iterator(first), std::make_move_iterator(last));
    std::vector<Value> to(from.size());
    for (decltype(from.size()) width = 1; width < from.size(); width *= 2) {
        for (decltype(from.size()) left = 0; left < from.size(); left += 2 * width) {
            const auto middle = std::min(left + width, from.size());
            const auto right = std::min(left + 2 * width, from.size());
            auto a = left;
            auto b = middle;
            auto out = left;
            // Take from the right run only when it stands strictly before: stability.
            while (a < middle && b < right)
                to[out++] = less(from[b], from[a]) ? std::move(from[b++]) : std::move(from[a++]);
            while (a < middle)
                to[out++] = std::move(from[a++]);
            while (b < right)
                to[out++] = std::move(from[b++]);
        }
        std::swap(from, to);
    }
    std::move(from.begin(), from.end(), first);
}

} // namespace nimbrel
