#pragma once

#include <QString>

namespace testsupport {

// Whether this is a sanitizer build (PRYNECHAT_SANITIZE: AddressSanitizer and
// UndefinedBehaviorSanitizer). The few cases that measure what the sanitizers change skip there
// and say why.
#ifdef PRYNECHAT_SANITIZE
constexpr bool sanitizerBuild = true;
#else
constexpr bool sanitizerBuild = false;
#endif

// Whether freed memory is kept from reuse here: AddressSanitizer's quarantine holds up to 256 MiB
// of freed blocks to catch a use after free, and a case that measures resident memory counts them
// as growth. Such cases skip then; the sanitizer suite runs them again with the quarantine off
// (ASAN_OPTIONS=quarantine_size_mb=0, the *_memory tests), so their bounds hold there too.
inline bool quarantineHoldsFreedMemory()
{
    return sanitizerBuild
            && !qEnvironmentVariable("ASAN_OPTIONS")
                        .contains(QLatin1String("quarantine_size_mb=0"));
}

} // namespace testsupport
