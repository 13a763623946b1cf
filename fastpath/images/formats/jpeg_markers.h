// JpegImagePlugin.MARKER, the handler of each marker from 0xFFC0 to 0xFFFE:
// written once, for the reader (which mirrors the handlers) and the code
// check (which finds them in the module). Plain C++.
#pragma once

#include <cstdint>

namespace pretrain::jpeg {

enum class Handler { None, Skip, App, Com, Dqt, Sof };

// The handler of 0xFF00 | marker.
constexpr Handler handler_of(std::uint8_t marker) {
    switch (marker) {
        case 0xC4: case 0xCC: case 0xDA: case 0xDC: case 0xDD: case 0xDF: return Handler::Skip;
        case 0xC8: return Handler::None;
        case 0xDB: return Handler::Dqt;
        case 0xDE: return Handler::Sof;
        case 0xFE: return Handler::Com;
        default: break;
    }
    if (marker >= 0xC0 && marker <= 0xCF) return Handler::Sof;
    if (marker >= 0xE0 && marker <= 0xEF) return Handler::App;
    return Handler::None;  // RSTn, SOI, EOI, JPGn: no segment
}

// The handler's function name in JpegImagePlugin; null for None.
constexpr const char* function_name(Handler handler) {
    switch (handler) {
        case Handler::Skip: return "Skip";
        case Handler::App: return "APP";
        case Handler::Com: return "COM";
        case Handler::Dqt: return "DQT";
        case Handler::Sof: return "SOF";
        case Handler::None: break;
    }
    return nullptr;
}

}  // namespace pretrain::jpeg
