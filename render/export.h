#pragma once

// Marks the classes and functions that the MorvidRender DLL exports.
#if defined(_WIN32) && !defined(MORVID_RENDER_STATIC)
#  if defined(MORVID_RENDER_BUILDING)
#    define MORVID_RENDER_API __declspec(dllexport)
#  else
#    define MORVID_RENDER_API __declspec(dllimport)
#  endif
#else
#  define MORVID_RENDER_API
#endif
