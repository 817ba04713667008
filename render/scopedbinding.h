#pragma once

#include <d3d11.h>

#include <utility>

namespace Render {

// Holds a begin/end binding for the life of a scope and ends it when the scope is left, on
// unwinding too: a draw that throws leaves nothing recorded as bound, so that the next frame can
// bind again.
template <class Bindable>
class ScopedBinding {
public:
    template <class... Arguments>
    ScopedBinding(Bindable& bindable, ID3D11DeviceContext* context, Arguments&&... arguments)
        : mBindable(bindable), mContext(context)
    {
        mBindable.begin(context, std::forward<Arguments>(arguments)...);
    }
    ~ScopedBinding() { mBindable.end(mContext); }
    ScopedBinding(ScopedBinding const&) = delete;
    ScopedBinding& operator=(ScopedBinding const&) = delete;

private:
    Bindable& mBindable;
    ID3D11DeviceContext* mContext;
};

} // namespace Render
