#pragma once

// ATL::CComPtr holds every COM object of the library. MSVC ships it in
// <atlbase.h>; other Windows toolchains get this equivalent with the same
// semantics: one reference per holder, released on destruction or reset.
#if __has_include(<atlbase.h>)
#  include <atlbase.h>
#else
#  include <unknwn.h>

#  include <memory>
#  include <utility>

namespace ATL {

template <class T>
class CComPtr {
public:
    CComPtr() noexcept = default;
    CComPtr(std::nullptr_t) noexcept {}

    // Adopts one new reference, as ATL does for a raw pointer.
    CComPtr(T* pointer) noexcept : p(pointer)
    {
        if (p)
            p->AddRef();
    }

    CComPtr(CComPtr const& other) noexcept : CComPtr(other.p) {}
    CComPtr(CComPtr&& other) noexcept : p(std::exchange(other.p, nullptr)) {}

    ~CComPtr() { Release(); }

    CComPtr& operator=(CComPtr const& other) noexcept
    {
        CComPtr(other).Swap(*this);
        return *this;
    }

    CComPtr& operator=(CComPtr&& other) noexcept
    {
        if (this != std::addressof(other)) {
            Release();
            p = std::exchange(other.p, nullptr);
        }
        return *this;
    }

    CComPtr& operator=(T* pointer) noexcept
    {
        CComPtr(pointer).Swap(*this);
        return *this;
    }

    CComPtr& operator=(std::nullptr_t) noexcept
    {
        Release();
        return *this;
    }

    void Release() noexcept
    {
        if (T* old = std::exchange(p, nullptr))
            old->Release();
    }

    // Takes over a reference the caller already owns, without AddRef.
    void Attach(T* pointer) noexcept
    {
        Release();
        p = pointer;
    }

    // Gives up ownership of the reference without releasing it.
    T* Detach() noexcept { return std::exchange(p, nullptr); }

    void Swap(CComPtr& other) noexcept { std::swap(p, other.p); }

    template <class Q>
    HRESULT QueryInterface(Q** result) const noexcept
    {
        return p->QueryInterface(__uuidof(Q), reinterpret_cast<void**>(result));
    }

    // Out-parameter access for creation functions; the holder must be empty so
    // that no reference leaks.
    T** operator&() noexcept { return &p; }

    operator T*() const noexcept { return p; }
    T* operator->() const noexcept { return p; }
    T& operator*() const noexcept { return *p; }
    bool operator!() const noexcept { return p == nullptr; }

    bool operator==(T* other) const noexcept { return p == other; }
    bool operator==(std::nullptr_t) const noexcept { return p == nullptr; }

    T* p = nullptr;
};

} // namespace ATL
#endif
