# Libraries the daemon links, all from Debian's packages:
#   OpenCV 4 (core, imgproc; imgcodecs, videoio)  libopencv-*-dev
#   libjpeg-turbo's TurboJPEG API                  libturbojpeg0-dev
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

# Debian ships OpenCV's CMake package only with the all-modules package;
# the per-module packages are found by their headers and libraries.
find_path(CM_OPENCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4 REQUIRED)
foreach(module core imgproc imgcodecs videoio)
  find_library(CM_OPENCV_${module} NAMES opencv_${module} REQUIRED)
endforeach()
# The daemon links core and imgproc only; image and video I/O (cm::opencv,
# all four) go into the picture I/O module of the default path
# (capture/picture_io.h) and into tests and tools.
add_library(cm::opencv_core INTERFACE IMPORTED)
target_include_directories(cm::opencv_core INTERFACE ${CM_OPENCV_INCLUDE_DIR})
target_link_libraries(cm::opencv_core INTERFACE ${CM_OPENCV_core} ${CM_OPENCV_imgproc})
add_library(cm::opencv INTERFACE IMPORTED)
target_link_libraries(cm::opencv INTERFACE cm::opencv_core ${CM_OPENCV_imgcodecs} ${CM_OPENCV_videoio})

pkg_check_modules(TURBOJPEG REQUIRED IMPORTED_TARGET libturbojpeg)
add_library(cm::turbojpeg INTERFACE IMPORTED)
target_link_libraries(cm::turbojpeg INTERFACE PkgConfig::TURBOJPEG)
