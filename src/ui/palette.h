// The colours both terminal UIs draw with, 24-bit; each screen gives them their roles.
// Constants only, safe on any thread.
#pragma once

#include "ui/buffer.h"

namespace palette {

inline constexpr ui::Rgb kBrand{226, 91, 42};
inline constexpr ui::Rgb kTagline{196, 165, 116};  // also panel borders
inline constexpr ui::Rgb kHeading{230, 194, 122};
inline constexpr ui::Rgb kDim{154, 145, 127};
inline constexpr ui::Rgb kText{232, 228, 217};
inline constexpr ui::Rgb kBackground{11, 12, 16};
inline constexpr ui::Rgb kGood{125, 206, 160};
inline constexpr ui::Rgb kBad{224, 122, 122};

}  // namespace palette
