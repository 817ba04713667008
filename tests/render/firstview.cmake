# The first picture of a data set: eye-dome lighting of rendered clouds.
morvid_add_test(render_firstview_tests
  SOURCES eyedomelighting_test.cpp
  LIBS MorvidRender MorvidOctree)
target_compile_definitions(render_firstview_tests PRIVATE NOMINMAX WIN32_LEAN_AND_MEAN)
