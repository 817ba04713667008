# Tiled panoramas: loading order and states, tile upload, and what they draw among the rest of the scene.
morvid_add_test(render_panorama_tests
  SOURCES panorenderable_test.cpp
  LIBS MorvidRender MorvidOctree MorvidGraphics)
target_compile_definitions(render_panorama_tests PRIVATE NOMINMAX WIN32_LEAN_AND_MEAN)
