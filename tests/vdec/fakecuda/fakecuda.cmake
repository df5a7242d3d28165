# The test driver: two small libraries under the real file names, in a folder
# of their own below bin/ so that no program finds them by the loader's usual
# search; the tests point the hardware decoder at them explicitly.
set(qv_fakecuda_dir ${CMAKE_BINARY_DIR}/bin/fakecuda)
add_library(qv_fakecuda SHARED ${CMAKE_CURRENT_LIST_DIR}/fakecuda.cpp)
add_library(qv_fakecuvid SHARED ${CMAKE_CURRENT_LIST_DIR}/fakecuvid.cpp)
target_link_libraries(qv_fakecuda PRIVATE qv_headers)
target_link_libraries(qv_fakecuvid PRIVATE qv_vdec qv_headers)
foreach(lib qv_fakecuda qv_fakecuvid)
  set_target_properties(${lib} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${qv_fakecuda_dir}
    LIBRARY_OUTPUT_DIRECTORY ${qv_fakecuda_dir}
    CXX_VISIBILITY_PRESET hidden)
  if(WIN32)
    set_target_properties(${lib} PROPERTIES PREFIX "" SUFFIX ".dll")
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      # The entry points are __stdcall; the real libraries export them
      # without the @N decoration.
      target_link_options(${lib} PRIVATE -Wl,--kill-at)
    endif()
  else()
    set_target_properties(${lib} PROPERTIES PREFIX "lib" SUFFIX ".so.1" NO_SONAME ON)
  endif()
endforeach()
if(WIN32)
  set_target_properties(qv_fakecuda PROPERTIES OUTPUT_NAME nvcuda)
  set_target_properties(qv_fakecuvid PROPERTIES OUTPUT_NAME nvcuvid)
else()
  set_target_properties(qv_fakecuda PROPERTIES OUTPUT_NAME cuda)
  set_target_properties(qv_fakecuvid PROPERTIES OUTPUT_NAME nvcuvid)
endif()
add_dependencies(test_vdec qv_fakecuda qv_fakecuvid)
target_compile_definitions(test_vdec PRIVATE QV_FAKECUDA_DIR="${qv_fakecuda_dir}")
