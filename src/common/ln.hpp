// The natural logarithm, the same bits on every processor.
#pragma once

namespace korvanta {

/// ln x within about 0.51 units in the last place, computed with additions, multiplications
/// and divisions in a fixed order only, so that its bits do not depend on the processor or on
/// the C library (whose logarithm picks a fused multiply-add variant at run time where the
/// processor has one, and then differs from its other variant in the last bit for some
/// arguments). ln(+0) = −inf, ln(+inf) = +inf, a NaN argument is returned as it is, and a
/// negative one gives a NaN.
double ln(double x);

}  // namespace korvanta
