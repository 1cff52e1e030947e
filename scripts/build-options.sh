# Sourced by the run, test and package commands: the options of the shared build folder (build/).
# One folder with Debian's optimisation and hardening flags and the /usr prefix, so the program
# the tests run is the one that is packaged, and it is compiled once. Debug information is line
# tables only (-g1): enough for backtraces, and the package is stripped anyway. Sources are
# compiled in batches (unity builds), so the Qt headers are parsed once a batch, not once a file.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
build_options=(-G Ninja -DCMAKE_UNITY_BUILD=ON -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr
    "-DCMAKE_CXX_FLAGS=$CPPFLAGS $CXXFLAGS -g1" "-DCMAKE_EXE_LINKER_FLAGS=$LDFLAGS")
