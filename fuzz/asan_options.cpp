// The address sanitizer's defaults for every fuzz target. Its quarantine holds freed memory
// back from reuse to catch use after free; at its default 256 MB every run of the edit
// targets takes fresh pages for its frame states (tens of kilobytes, zeroed), which cost
// them a third of their time. One run allocates well under 16 MB, so within a run freed
// memory still stays out of reach. ASAN_OPTIONS set in the environment still apply.

extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16";
}
