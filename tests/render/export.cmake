# Export of the finished frame: images, point chunks, point files and thumbnails, read back from the GPU.
morvid_add_test(render_export_tests
  SOURCES export_test.cpp
  LIBS MorvidRender MorvidOctree MorvidGraphics)
target_compile_definitions(render_export_tests PRIVATE NOMINMAX WIN32_LEAN_AND_MEAN)
