# Optional instrumented build for `make sanitize`: AddressSanitizer (out-of-bounds
# and use-after-free accesses) and UndefinedBehaviorSanitizer (signed overflow,
# bad shifts and casts, misaligned or null accesses) in every native target.
# Off by default; the sanitizer build uses a build directory of its own, so its
# cache never leaks the option into the normal build.
option(TARVO_SANITIZE "Instrument the native code with -fsanitize=address,undefined" OFF)
if(TARVO_SANITIZE)
  # float-cast-overflow is undefined behaviour too (a NaN or huge double cast
  # to an integer) but not part of GCC's "undefined" group; dividing doubles
  # by zero is IEEE arithmetic the model relies on, so it stays unchecked.
  set(TARVO_SANITIZE_FLAGS -fsanitize=address,undefined,float-cast-overflow)
  # Frame pointers and line tables give the reports readable stacks.
  add_compile_options(${TARVO_SANITIZE_FLAGS} -fno-omit-frame-pointer -g)
  add_link_options(${TARVO_SANITIZE_FLAGS})
endif()
