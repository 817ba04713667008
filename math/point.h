#pragma once

#include <Eigen/Core>

namespace Math {

// Points are Eigen column vectors, so that point and vector arithmetic mix freely.
template <class T, int N>
using Point = Eigen::Matrix<T, N, 1>;

} // namespace Math
