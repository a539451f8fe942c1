#include "foundation/TextCase.h"
#include "foundation/Utf.h"
#include "foundation/Win32.h"

namespace vek::sl {

namespace {

using ToLowerFn = int32_t(__cdecl*)(int32_t);

// The system's ICU (Windows 10 1903 and later) when it loads; Wine has none.
ToLowerFn findIcuToLower() {
    HMODULE icu = LoadLibraryW(L"icu.dll");
    if (!icu) return nullptr;
    return reinterpret_cast<ToLowerFn>(reinterpret_cast<void*>(GetProcAddress(icu, "u_tolower")));
}

}  // namespace

std::string toLowerUtf8(std::string_view text) {
    static const ToLowerFn icuToLower = findIcuToLower();
    if (icuToLower) {
        std::string out;
        out.reserve(text.size());
        for (size_t pos = 0; pos < text.size();)
            appendUtf8(out, static_cast<char32_t>(icuToLower(static_cast<int32_t>(decodeUtf8(text, pos)))));
        return out;
    }
    std::wstring wide = win::widen(text);
    if (wide.empty()) return std::string(text);
    int n = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, wide.data(), static_cast<int>(wide.size()), nullptr,
                          0, nullptr, nullptr, 0);
    if (n <= 0) return std::string(text);
    std::wstring lowered(static_cast<size_t>(n), L'\0');
    LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, wide.data(), static_cast<int>(wide.size()), lowered.data(), n,
                  nullptr, nullptr, 0);
    return win::narrow(lowered);
}

}  // namespace vek::sl
