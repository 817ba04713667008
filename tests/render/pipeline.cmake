# Direct3D wrappers, shaders and their cache, render passes and the classification texture; and the
# pixel tests of the point, post-processing and box shaders.
morvid_add_test(render_pipeline_tests
  SOURCES shader_test.cpp wrappers_test.cpp renderpass_test.cpp hlslsources_test.cpp
  LIBS MorvidRender)
target_compile_definitions(render_pipeline_tests PRIVATE NOMINMAX WIN32_LEAN_AND_MEAN)
morvid_add_test(render_pointshader_tests
  SOURCES pointshader_test.cpp postprocess_test.cpp
  LIBS MorvidRender)
target_compile_definitions(render_pointshader_tests PRIVATE NOMINMAX WIN32_LEAN_AND_MEAN)
