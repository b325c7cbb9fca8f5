// What device models and far ends keep of their past for tests to check (register
// writes, executed requests, messages, events): bounded, so a long run stays flat.
// When a history reaches its limit its older half goes; tests look at short runs.
#pragma once

#include <cstddef>
#include <vector>

namespace plat {

constexpr size_t kHistoryLimit = size_t(1) << 16;

template <class T>
void push_bounded(std::vector<T>& history, T item, size_t limit = kHistoryLimit)
{
    if (history.size() >= limit) history.erase(history.begin(), history.begin() + std::ptrdiff_t(history.size() / 2));
    history.push_back(std::move(item));
}

}  // namespace plat
