# Picking, projection and visible points on rendered clouds.
morvid_add_test(render_picking_tests
  SOURCES picking_test.cpp
  LIBS MorvidRender MorvidOctree)
target_compile_definitions(render_picking_tests PRIVATE NOMINMAX WIN32_LEAN_AND_MEAN)
