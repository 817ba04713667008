# Distance colorization and clipping of streaming point clouds, read back from real pixels.
morvid_add_test(render_clipping_tests
  SOURCES clipping_test.cpp
  LIBS MorvidRender MorvidOctree MorvidGraphics)
target_compile_definitions(render_clipping_tests PRIVATE NOMINMAX WIN32_LEAN_AND_MEAN)
