// For tests that compile and use a locale of their own: glibc's newlocale
// loses a copy of LOCPATH on every call that has one set; that allocation
// is glibc's, so the leak checker looks away while such a scope lives.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define LOCALE_TEST_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LOCALE_TEST_LSAN 1
#endif
#endif
#ifdef LOCALE_TEST_LSAN
#include <sanitizer/lsan_interface.h>
#endif

struct GlibcLocaleLeakScope {
#ifdef LOCALE_TEST_LSAN
    GlibcLocaleLeakScope() { __lsan_disable(); }
    ~GlibcLocaleLeakScope() { __lsan_enable(); }
#else
    GlibcLocaleLeakScope() {}
    ~GlibcLocaleLeakScope() {}
#endif
};
