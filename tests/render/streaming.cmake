# Streaming point clouds: the shared point budget, the loader threads and what they draw.
morvid_add_test(render_streaming_tests
  SOURCES nodeprioritizer_test.cpp pointcloudrenderable_test.cpp hostusage_test.cpp
  LIBS MorvidRender MorvidOctree MorvidGraphics)
target_compile_definitions(render_streaming_tests PRIVATE NOMINMAX WIN32_LEAN_AND_MEAN)
