# Point queries and whole-cloud point collection on the real data sets.
morvid_add_test(render_query_tests
  SOURCES pointcloudquery_test.cpp
  LIBS MorvidRender MorvidOctree)
target_compile_definitions(render_query_tests PRIVATE NOMINMAX WIN32_LEAN_AND_MEAN)
