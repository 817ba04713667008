# Project-wide warning level; third-party headers come in as system includes.
add_library(morvid_warnings INTERFACE)
if(MSVC)
  target_compile_options(morvid_warnings INTERFACE /W4 /permissive- /utf-8)
else()
  target_compile_options(morvid_warnings INTERFACE -Wall -Wextra -Wpedantic -Wno-missing-field-initializers)
endif()
