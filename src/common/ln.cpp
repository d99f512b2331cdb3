#include "common/ln.hpp"

#include <bit>
#include <cstdint>
#include <limits>

namespace korvanta {
namespace {

// ln 2 and ln(j/128) for j = 91 … 181, each as hi + lo: hi is rounded to a multiple of 2^-42,
// so that e·LN2_HI + LN_C[j].hi is exact for every binary exponent e of a double, and lo is
// the remainder rounded to a double.
constexpr double LN2_HI = 0x1.62e42fefa3800p-1;
constexpr double LN2_LO = 0x1.ef35793c76730p-45;
constexpr int FIRST = 91;
struct HiLo {
    double hi, lo;
};
constexpr HiLo LN_C[] = {
    {-0x1.5d5bddf596000p-2, 0x1.a0b2a08a465dcp-47},   // j = 91
    {-0x1.522ae0738a000p-2, -0x1.ebe708164c759p-45},  // j = 92
    {-0x1.4718dc271c000p-2, -0x1.06c18fb4c14c5p-44},  // j = 93
    {-0x1.3c25277333000p-2, -0x1.83b54b606bd5cp-46},  // j = 94
    {-0x1.314f1e1d36000p-2, 0x1.8e27ad3213cb8p-45},   // j = 95
    {-0x1.269621134e000p-2, 0x1.1b61f10522625p-44},   // j = 96
    {-0x1.1bf99635a7000p-2, 0x1.1ac89575c2125p-44},   // j = 97
    {-0x1.1178e8227e000p-2, -0x1.1ef78ce2d07f2p-44},  // j = 98
    {-0x1.07138604d6000p-2, 0x1.e76324e912b17p-44},   // j = 99
    {-0x1.f991c6cb3c000p-3, 0x1.90d04cd7cc834p-44},   // j = 100
    {-0x1.e530effe72000p-3, 0x1.fdbdbb13f7c18p-44},   // j = 101
    {-0x1.d1037f2656000p-3, 0x1.84a7e75b6f6e4p-47},   // j = 102
    {-0x1.bd087383be000p-3, 0x1.d4bc4595412b6p-45},   // j = 103
    {-0x1.a93ed3c8ae000p-3, 0x1.8724350562169p-45},   // j = 104
    {-0x1.95a5adcf70000p-3, -0x1.7f22858a0ff6fp-47},  // j = 105
    {-0x1.823c16551a000p-3, -0x1.e0ddb9a631e83p-46},  // j = 106
    {-0x1.6f0128b756000p-3, -0x1.577390d31ef0fp-44},  // j = 107
    {-0x1.5bf406b544000p-3, 0x1.27023eb68981cp-46},   // j = 108
    {-0x1.4913d8333c000p-3, 0x1.53e43558124c4p-44},   // j = 109
    {-0x1.365fcb015a000p-3, 0x1.fd3a0afb9691bp-44},   // j = 110
    {-0x1.23d712a49c000p-3, -0x1.00d238fd3df5cp-46},  // j = 111
    {-0x1.1178e8227e000p-3, -0x1.1ef78ce2d07f2p-45},  // j = 112
    {-0x1.fe89139dbc000p-4, -0x1.56594d82f7a82p-44},  // j = 113
    {-0x1.da72763844000p-4, -0x1.a89401fa71733p-46},  // j = 114
    {-0x1.b6ac88dad4000p-4, -0x1.b1bdff50225c7p-44},  // j = 115
    {-0x1.9335e5d594000p-4, -0x1.3115c3abd47dap-45},  // j = 116
    {-0x1.700d30aeac000p-4, -0x1.c1e8da99ded32p-49},  // j = 117
    {-0x1.4d3115d208000p-4, 0x1.53a2582f4e1efp-48},   // j = 118
    {-0x1.2aa04a4470000p-4, -0x1.7a48ba8b1cb41p-44},  // j = 119
    {-0x1.08598b59e4000p-4, 0x1.7e5dd7009902cp-46},   // j = 120
    {-0x1.ccb73cddd8000p-5, -0x1.965c36e09f5fep-44},  // j = 121
    {-0x1.894aa149f8000p-5, -0x1.9a19a8be97661p-44},  // j = 122
    {-0x1.466aed42e0000p-5, 0x1.c167375bdfd28p-45},   // j = 123
    {-0x1.0415d89e78000p-5, 0x1.dddc7f461c516p-44},   // j = 124
    {-0x1.8492528c90000p-6, 0x1.aa0ba325a0c34p-45},   // j = 125
    {-0x1.0205658930000p-6, -0x1.611d27c8e8417p-44},  // j = 126
    {-0x1.0101575880000p-7, -0x1.bce251998b506p-44},  // j = 127
    {0x0.0p+0, 0x0.0p+0},                             // j = 128
    {0x1.fe02a6b100000p-8, 0x1.9e23f0dda40e4p-46},    // j = 129
    {0x1.fc0a8b0fc0000p-7, 0x1.f1e7cf6d3a69cp-50},    // j = 130
    {0x1.7b91b07d60000p-6, -0x1.3b955b602ace4p-44},   // j = 131
    {0x1.f829b0e780000p-6, 0x1.980267c7e09e4p-45},    // j = 132
    {0x1.39e87b9fe8000p-5, 0x1.eafd480ad9015p-44},    // j = 133
    {0x1.77458f6330000p-5, -0x1.181dce586af09p-44},   // j = 134
    {0x1.b42dd71198000p-5, -0x1.c827ae5d6704cp-46},   // j = 135
    {0x1.f0a30c0118000p-5, -0x1.d599e83368e91p-45},   // j = 136
    {0x1.16536eea38000p-4, -0x1.47c5e768fa309p-46},   // j = 137
    {0x1.341d7961bc000p-4, 0x1.1d09299837610p-44},    // j = 138
    {0x1.51b073f060000p-4, 0x1.83f69278e686ap-44},    // j = 139
    {0x1.6f0d28ae58000p-4, -0x1.4b4641b664613p-44},   // j = 140
    {0x1.8c345d6318000p-4, 0x1.b20f5acb42a66p-44},    // j = 141
    {0x1.a926d3a4ac000p-4, 0x1.563650bd22a9cp-44},    // j = 142
    {0x1.c5e548f5bc000p-4, 0x1.d0c57585fbe06p-46},    // j = 143
    {0x1.e27076e2b0000p-4, -0x1.a342c2af0003cp-45},   // j = 144
    {0x1.fec9131dc0000p-4, -0x1.54555d1ae6607p-44},   // j = 145
    {0x1.0d77e7cd08000p-3, 0x1.cb2cd2ee2f482p-44},    // j = 146
    {0x1.1b72ad52f6000p-3, 0x1.e80a41811a396p-45},    // j = 147
    {0x1.29552f8200000p-3, -0x1.5b967f4471dfcp-44},   // j = 148
    {0x1.371fc201e8000p-3, 0x1.ee8779b2d8abcp-44},    // j = 149
    {0x1.44d2b6ccb8000p-3, -0x1.70cc16135783cp-46},   // j = 150
    {0x1.526e5e3a1c000p-3, -0x1.790ba37fc5238p-44},   // j = 151
    {0x1.5ff3070a7a000p-3, -0x1.8586f183bebf2p-44},   // j = 152
    {0x1.6d60fe719e000p-3, -0x1.bc6e557134767p-44},   // j = 153
    {0x1.7ab890210e000p-3, -0x1.bdb9072534a58p-45},   // j = 154
    {0x1.87fa06520c000p-3, 0x1.22120401202fcp-44},    // j = 155
    {0x1.9525a9cf46000p-3, -0x1.297137d9f158fp-44},   // j = 156
    {0x1.a23bc1fe2c000p-3, -0x1.539cd91dc9f0bp-44},   // j = 157
    {0x1.af3c94e80c000p-3, -0x1.a4e633fcd9066p-52},   // j = 158
    {0x1.bc286742d8000p-3, 0x1.9ac53f39d121cp-44},    // j = 159
    {0x1.c8ff7c79aa000p-3, -0x1.7794f689f8434p-45},   // j = 160
    {0x1.d5c216b4fc000p-3, -0x1.1ba91bbca681bp-45},   // j = 161
    {0x1.e27076e2b0000p-3, -0x1.a342c2af0003cp-44},   // j = 162
    {0x1.ef0adcbdc6000p-3, -0x1.b26b79c86af24p-45},   // j = 163
    {0x1.fb9186d5e4000p-3, -0x1.d572aab993c87p-47},   // j = 164
    {0x1.0402594b4d000p-2, 0x1.036b89ef42d7fp-48},    // j = 165
    {0x1.0a324e2739000p-2, 0x1.c6bee7ef4030ep-47},    // j = 166
    {0x1.1058bf9ae5000p-2, -0x1.4ab9d817d52cdp-44},   // j = 167
    {0x1.1675cababa000p-2, 0x1.8380e731f55c4p-44},    // j = 168
    {0x1.1c898c169a000p-2, -0x1.81410e5c62affp-44},   // j = 169
    {0x1.22941fbcf8000p-2, -0x1.a6976f5eb0963p-44},   // j = 170
    {0x1.2895a13de8000p-2, 0x1.a8d7ad24c13f0p-44},    // j = 171
    {0x1.2e8e2bae12000p-2, -0x1.67b1e99b72bd8p-45},   // j = 172
    {0x1.347dd9a988000p-2, -0x1.5594dd4c58092p-45},   // j = 173
    {0x1.3a64c55694000p-2, 0x1.7a71cbcd735d0p-44},    // j = 174
    {0x1.404308686a000p-2, 0x1.f8ef43049f7d3p-44},    // j = 175
    {0x1.4618bc21c6000p-2, -0x1.3d82f484c84ccp-46},   // j = 176
    {0x1.4be5f95778000p-2, -0x1.d7c92cd9ad824p-44},   // j = 177
    {0x1.51aad872e0000p-2, -0x1.f4bd8db0a7cc1p-44},   // j = 178
    {0x1.5767717456000p-2, -0x1.64ead9524d7cap-44},   // j = 179
    {0x1.5d1bdbf581000p-2, -0x1.8d6bdc9c7c238p-44},   // j = 180
    {0x1.62c82f2b9c000p-2, 0x1.e54bdbd7c8a98p-44},    // j = 181
};
constexpr double SQRT2 = 0x1.6a09e667f3bcdp+0;

// s = a + b exactly as s + err (six operations, any order of magnitudes).
inline void two_sum(double a, double b, double& s, double& err) {
    s = a + b;
    const double b_virtual = s - a;
    const double a_virtual = s - b_virtual;
    err = (a - a_virtual) + (b - b_virtual);
}

}  // namespace

// x = 2^e·m with m in (√2/2, √2], m = c + f with c = j/128 the nearest table point, so that
// ln x = e·ln 2 + ln c + ln(1 + r), r = f/c, |r| < 2^-7.5. f is exact (m and c lie on the grid
// of m's last bit and |f| ≤ 2^-8). The rounding error of r is carried as r_lo, from the exact
// products of c (8 bits) with r split into halves of 26 and 27 bits. ln(1 + r + r_lo) is
// r − r²/2 + r³/3 − … + r^9/9 (the next term is below 2^-66·|r|) plus r_lo·(1 − r), with r²/2
// taken exactly as h2 + l2 from the same halves. e·ln 2 + ln c, r and −h2 are added exactly
// (their rounding errors kept as e1 and e2); the small terms' errors are far below a unit
// in the last place, so only the final addition rounds noticeably.
double ln(double x) {
    if (!(x > 0.0)) {
        if (x == 0.0) return -std::numeric_limits<double>::infinity();
        return x != x ? x : std::numeric_limits<double>::quiet_NaN();
    }
    if (x == std::numeric_limits<double>::infinity()) return x;
    int e = 0;
    if (x < std::numeric_limits<double>::min()) {  // subnormal: scale into the normal range
        x = x * 0x1p52;
        e = -52;
    }
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    e += static_cast<int>(bits >> 52) - 1023;
    double m = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFULL) | 0x3FF0000000000000ULL);  // in [1, 2)
    if (m > SQRT2) {
        m = m * 0.5;
        e += 1;
    }
    const int j = static_cast<int>(m * 128.0 + 0.5);  // 91 … 181
    const double c = static_cast<double>(j) * 0x1p-7;
    const double f = m - c;
    const double r = f / c;
    const double r1 = std::bit_cast<double>(std::bit_cast<std::uint64_t>(r) & 0xFFFFFFFFF8000000ULL);
    const double r2 = r - r1;
    const double r_lo = ((f - r1 * c) - r2 * c) / c;
    const double h2 = (r1 * r1) * 0.5;
    const double l2 = r1 * r2 + (r2 * r2) * 0.5;
    const double r3 =
        r * r * r *
        (1.0 / 3.0 + r * (-0.25 + r * (0.2 + r * (-1.0 / 6.0 + r * (1.0 / 7.0 + r * (-0.125 + r * (1.0 / 9.0)))))));
    const HiLo& t = LN_C[j - FIRST];
    const double de = static_cast<double>(e);
    double s = 0.0, e1 = 0.0, s2 = 0.0, e2 = 0.0;
    two_sum(de * LN2_HI + t.hi, r, s, e1);
    two_sum(s, -h2, s2, e2);
    return s2 + ((e1 + e2) + ((de * LN2_LO + t.lo) + ((r_lo - r_lo * r) + (r3 - l2))));
}

}  // namespace korvanta
