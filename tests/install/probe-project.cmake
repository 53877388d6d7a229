# The outside project of the install test (copied as CMakeLists.txt beside probe.cpp): finds the
# installed library by its package config and builds the probe against the shared and the static one.
cmake_minimum_required(VERSION 3.20)
project(AxonforgeProbe LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(Axonforge2 2 REQUIRED)
add_executable(probe probe.cpp)
target_link_libraries(probe PRIVATE Axonforge2::axonforge2)
add_executable(probe-static probe.cpp)
target_link_libraries(probe-static PRIVATE Axonforge2::axonforge2-static)
