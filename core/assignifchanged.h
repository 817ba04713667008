#pragma once

namespace Core {

// Stores `value` and says whether that changed anything: settings act on a change only.
template <class T>
bool assignIfChanged(T& stored, T const& value)
{
    if (stored == value)
        return false;
    stored = value;
    return true;
}

} // namespace Core
