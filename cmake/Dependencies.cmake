# Locates the dependencies that scripts/bootstrap installs. Header-only libraries
# come from one include folder of the cache; compiled ones for Windows from the
# cache's mingw prefix, native ones from the system.
if(DEFINED ENV{MORVID_CACHE})
  set(MORVID_CACHE $ENV{MORVID_CACHE})
else()
  set(MORVID_CACHE $ENV{HOME}/.cache/morvid)
endif()

add_library(morvid_thirdparty_headers INTERFACE)
if(MSVC)
  # vcpkg provides the same libraries; see vcpkg.json.
  find_package(Eigen3 CONFIG REQUIRED)
  find_package(nlohmann_json CONFIG REQUIRED)
  find_package(fmt CONFIG REQUIRED)
  find_package(Taskflow CONFIG REQUIRED)
  find_package(Stb REQUIRED)
  find_package(tinyobjloader CONFIG REQUIRED)
  target_link_libraries(morvid_thirdparty_headers INTERFACE Eigen3::Eigen nlohmann_json::nlohmann_json
    fmt::fmt-header-only Taskflow::Taskflow tinyobjloader::tinyobjloader)
  target_include_directories(morvid_thirdparty_headers SYSTEM INTERFACE ${Stb_INCLUDE_DIR})
else()
  if(NOT EXISTS ${MORVID_CACHE}/include/Eigen)
    message(FATAL_ERROR "Dependencies missing in ${MORVID_CACHE}: run scripts/bootstrap first")
  endif()
  target_include_directories(morvid_thirdparty_headers SYSTEM INTERFACE ${MORVID_CACHE}/include)
  target_compile_definitions(morvid_thirdparty_headers INTERFACE FMT_HEADER_ONLY)
endif()
target_compile_definitions(morvid_thirdparty_headers INTERFACE EIGEN_MPL2_ONLY)

find_package(Threads REQUIRED)

# brotli decoder
add_library(morvid_brotli INTERFACE)
if(WIN32 AND NOT MSVC)
  target_include_directories(morvid_brotli SYSTEM INTERFACE ${MORVID_CACHE}/mingw/include)
  target_link_libraries(morvid_brotli INTERFACE
    ${MORVID_CACHE}/mingw/lib/libbrotlidec-static.a ${MORVID_CACHE}/mingw/lib/libbrotlicommon-static.a)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(BROTLIDEC REQUIRED IMPORTED_TARGET libbrotlidec)
  target_link_libraries(morvid_brotli INTERFACE PkgConfig::BROTLIDEC)
endif()

# brotli encoder (the data set writer of the tools and tests)
add_library(morvid_brotlienc INTERFACE)
if(WIN32 AND NOT MSVC)
  target_include_directories(morvid_brotlienc SYSTEM INTERFACE ${MORVID_CACHE}/mingw/include)
  target_link_libraries(morvid_brotlienc INTERFACE
    ${MORVID_CACHE}/mingw/lib/libbrotlienc-static.a ${MORVID_CACHE}/mingw/lib/libbrotlicommon-static.a)
else()
  pkg_check_modules(BROTLIENC REQUIRED IMPORTED_TARGET libbrotlienc)
  target_link_libraries(morvid_brotlienc INTERFACE PkgConfig::BROTLIENC)
endif()

# LASzip, built from source by scripts/bootstrap for both targets. Only the static
# library itself: its DLL-loading API wrapper fails unless a LASzip DLL is present.
add_library(morvid_laszip INTERFACE)
if(MSVC)
  find_package(laszip CONFIG REQUIRED)
  target_link_libraries(morvid_laszip INTERFACE laszip::laszip)
elseif(WIN32)
  target_include_directories(morvid_laszip SYSTEM INTERFACE ${MORVID_CACHE}/mingw/include)
  target_link_libraries(morvid_laszip INTERFACE ${MORVID_CACHE}/mingw/lib/liblaszip3.a)
else()
  target_include_directories(morvid_laszip SYSTEM INTERFACE ${MORVID_CACHE}/native/include)
  target_link_libraries(morvid_laszip INTERFACE ${MORVID_CACHE}/native/lib/liblaszip.a)
endif()

if(WIN32 AND NOT MSVC)
  # One self-contained binary each: no mingw runtime DLLs next to the executables.
  add_link_options(-static)
  # The Direct3D 11 stack the tests run on, next to every executable.
  foreach(dll d3d11 dxgi wined3d d3dcompiler_47)
    if(EXISTS ${MORVID_CACHE}/d3d/${dll}.dll)
      file(COPY ${MORVID_CACHE}/d3d/${dll}.dll DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
    endif()
  endforeach()
endif()

if(MORVID_BUILD_TESTS)
  find_package(GTest CONFIG QUIET)
  if(NOT GTest_FOUND)
    find_package(GTest REQUIRED)
  endif()
endif()
if(MORVID_BUILD_BENCHMARKS)
  find_package(benchmark CONFIG REQUIRED)
endif()
