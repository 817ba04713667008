#pragma once

#include <Eigen/Core>

namespace Math {

// A position, as opposed to a direction (Eigen::Matrix<T, N, 1>). Point arithmetic
// is Eigen's; the distinct type lets interfaces overload on "towards a point" and
// "along a direction".
template <class T, int N>
class Point : public Eigen::Matrix<T, N, 1> {
    using Base = Eigen::Matrix<T, N, 1>;

public:
    using Base::Base;
    Point() : Base() {}
    template <class Other>
    Point(Eigen::MatrixBase<Other> const& other) : Base(other)
    {
    }
    template <class Other>
    Point& operator=(Eigen::MatrixBase<Other> const& other)
    {
        Base::operator=(other);
        return *this;
    }
};

} // namespace Math
