// Fresh pages of the large arrays faulted in ahead of use on a thread of
// their own: the kernel zeroes them on another core while the tool fills
// the pages before them. Only page tables change (MADV_POPULATE_WRITE), never
// the bytes, so it cannot disturb what the owner writes meanwhile.
#pragma once

#include <cstddef>

namespace sf::formats::prefault {

// Asks for bytes [offset, offset + length) of the mapping at base to be
// faulted in. Where the system cannot, nothing happens.
void ahead(void* base, std::size_t offset, std::size_t length);

// Drops what is asked for the mapping at base and waits until nothing works
// on it: called before the mapping is moved or unmapped.
void forget(void* base);

}  // namespace sf::formats::prefault
