#include "pillow_releases.h"

#include "origin_checks.h"

#include <string_view>

using kaplet::Ref;

namespace pretrain {

PillowVersion loaded_pillow_version() {
    static constexpr std::pair<std::string_view, PillowVersion> kVerified[] = {
        {"11.3.0", PillowVersion::V11_3_0}, {"12.0.0", PillowVersion::V12_0_0}, {"12.1.0", PillowVersion::V12_1_0},
        {"12.1.1", PillowVersion::V12_1_1}, {"12.2.0", PillowVersion::V12_2_0}, {"12.3.0", PillowVersion::V12_3_0},
        {"13.0.0", PillowVersion::V13_0_0},
    };
    Ref pil = loaded_module("PIL");
    Ref version = pil ? dict_entry(PyModule_GetDict(pil.get()), "__version__") : Ref();
    if (!version || !PyUnicode_CheckExact(version.get())) return PillowVersion::Unverified;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(version.get(), &size);
    if (text == nullptr) {
        PyErr_Clear();
        return PillowVersion::Unverified;
    }
    for (const auto& [name, value] : kVerified) {
        if (std::string_view(text, static_cast<std::size_t>(size)) == name) return value;
    }
    return PillowVersion::Unverified;
}

}  // namespace pretrain
