// The bench programs' table of seam calls per tick: one row per function any
// run called, one column per machine size, as Markdown.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

// Prints the header and the call rows; results need a `calls` map of
// function name to count. The caller adds its own rows (times, totals).
template <class Result>
void printCallRows(const char* title, const char* unit, const std::vector<int>& sizes,
                   const std::vector<Result>& results) {
    std::map<std::string, bool> functions;
    for (const auto& r : results) {
        for (const auto& [fn, n] : r.calls) {
            functions[fn] = true;
        }
    }
    std::printf("| %s |", title);
    for (int n : sizes) {
        std::printf(" %d %s |", n, unit);
    }
    std::printf("\n|---|");
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        std::printf("---:|");
    }
    std::printf("\n");
    for (const auto& [fn, unused] : functions) {
        std::printf("| %s |", fn.c_str());
        for (const auto& r : results) {
            auto it = r.calls.find(fn);
            std::printf(" %llu |",
                        static_cast<unsigned long long>(it == r.calls.end() ? 0 : it->second));
        }
        std::printf("\n");
    }
}
