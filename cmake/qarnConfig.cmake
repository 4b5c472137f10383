# find_package(qarn): the imported targets qarn::qarn (the shared library, when installed) and qarn::qarn_static.
include(CMakeFindDependencyMacro)
find_dependency(Threads)
include("${CMAKE_CURRENT_LIST_DIR}/qarnTargets.cmake")
