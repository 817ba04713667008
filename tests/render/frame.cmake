# Camera, viewport and node priority: CPU arithmetic of the frame, compiled into the DLL.
morvid_add_test(render_frame_tests
  SOURCES camera_test.cpp nodepriority_test.cpp frame_viewport_test.cpp
  LIBS MorvidRender)
target_compile_definitions(render_frame_tests PRIVATE NOMINMAX WIN32_LEAN_AND_MEAN)
