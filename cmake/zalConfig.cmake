# find_package(zal 1 REQUIRED) gives zal::zal (libzal.so.1) and
# zal::zal_static (libzal.a, which needs threads and the C++ run-time: a C
# project that links it enables CXX too, or adds stdc++ and m).
include(CMakeFindDependencyMacro)
find_dependency(Threads)
include(${CMAKE_CURRENT_LIST_DIR}/zalTargets.cmake)
