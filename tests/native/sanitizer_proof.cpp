// Built into the stand-in of instrumented builds only (ZELMSG_SANITIZE): a deliberate leak
// and a deliberate undefined operation, each set off when the library is loaded into a
// process whose environment asks for it (ZELMSG_SANITIZER_PROOF=leak or undefined). scripts/prove-sanitized uses them
// to show that the sanitized test run fails on such findings, so that a clean run means something. Nothing here reaches
// Python.
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// The block's only pointer lives in a volatile local, so the allocation cannot be left out
// and nothing refers to it once the function returns: a direct leak.
[[gnu::noinline]] void leak_on_purpose() {
    char *volatile block = static_cast<char *>(std::malloc(4242));
    std::memset(block, 0x5a, 4242);
    block = nullptr;
}

// Signed overflow on a value the compiler cannot see through.
[[gnu::noinline]] int overflow_on_purpose() {
    volatile int largest = INT_MAX;
    return largest + 1;
}

[[gnu::constructor]] void set_off_requested_finding() {
    const char *finding = std::getenv("ZELMSG_SANITIZER_PROOF");
    if (finding == nullptr) return;
    if (std::strcmp(finding, "leak") == 0) {
        leak_on_purpose();
    } else if (std::strcmp(finding, "undefined") == 0) {
        // The result is discarded: the overflow itself is the finding.
        (void)overflow_on_purpose();
    }
}

}  // namespace
