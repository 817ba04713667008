# Triangle meshes: the OBJ loader on real files, the mesh node's pixels, clipping and depth with points.
morvid_add_test(render_mesh_tests
  SOURCES objmeshloader_test.cpp meshrenderable_test.cpp
  LIBS MorvidRender MorvidOctree MorvidGraphics)
target_compile_definitions(render_mesh_tests PRIVATE NOMINMAX WIN32_LEAN_AND_MEAN)
