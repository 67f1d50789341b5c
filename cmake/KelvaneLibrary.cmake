# kelvane_library(<target> [DEPS <targets...>])
# A static library made of every .cpp file in the calling folder. Files named
# *_linux.cpp / *_posix.cpp are this platform's implementations; *_win.cpp are
# skipped until a Windows build exists.
function(kelvane_library target)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  list(FILTER sources EXCLUDE REGEX "_win\\.cpp$")
  if(sources)
    add_library(${target} STATIC ${sources})
    set(scope PUBLIC)
  else()
    # A folder whose modules are still headers only.
    add_library(${target} INTERFACE)
    set(scope INTERFACE)
  endif()
  target_include_directories(${target} ${scope} "${CMAKE_CURRENT_SOURCE_DIR}")
  target_link_libraries(${target} ${scope} ${ARG_DEPS})
endfunction()

# kelvane_test(<name> SOURCES <files...> DEPS <targets...>)
# One GoogleTest executable per component, registered with ctest.
function(kelvane_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} kelvane_testsupport GTest::gtest GTest::gtest_main GTest::gmock)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "KELVANE_BUILD_DIR=${CMAKE_BINARY_DIR}")
endfunction()
