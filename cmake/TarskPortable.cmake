# Portable linking of the native modules, for wheels that install on every
# Linux with glibc 2.17 or later (manylinux2014):
#
# - libstdc++ is linked statically, so a module needs no C++ library of the
#   system and none newer than the one it was built with; the unwinder stays
#   the shared libgcc_s.so.1 (old symbol versions only), so one unwinder
#   serves the whole process (a second, static copy cannot continue the
#   unwind that ends a thread, and the process aborts);
# - glibc_compat.cpp binds the few C library symbols whose default version is
#   newer than 2.17 to their original versions or to local equivalents, and
#   section garbage collection drops the unused parts of the C++ runtime that
#   would need more;
# - libpthread is a dependency by name, where the original pthread symbols
#   live on glibc before 2.34.
#
# Only the symbols each module's version script exports leave the library;
# everything brought in here stays local. Sanitizer builds keep the shared
# runtime that the sanitizers intercept.
option(TARSK_PORTABLE "Link the C++ runtime statically and use only glibc 2.17 symbols" ON)

set(TARSK_GLIBC_COMPAT_SOURCE ${CMAKE_CURRENT_LIST_DIR}/glibc_compat.cpp)

function(tarsk_portable_module target)
  if(NOT TARSK_PORTABLE OR TARSK_SANITIZE OR NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
    return()
  endif()
  get_target_property(done ${target} TARSK_PORTABLE_APPLIED)
  if(done)
    return()
  endif()
  set_target_properties(${target} PROPERTIES TARSK_PORTABLE_APPLIED ON)
  target_sources(${target} PRIVATE ${TARSK_GLIBC_COMPAT_SOURCE})
  target_compile_definitions(${target} PRIVATE TARSK_GLIBC_COMPAT)
  target_compile_options(${target} PRIVATE -ffunction-sections -fdata-sections)
  target_link_options(${target} PRIVATE -static-libstdc++ LINKER:--gc-sections)
  target_link_libraries(${target} PRIVATE
    "-Wl,--push-state,--no-as-needed" "-l:libpthread.so.0" "-Wl,--pop-state")
endfunction()

# Applies the above to every module library (a Python extension) defined in
# dir and its subdirectories; the top-level CMakeLists.txt calls it for the
# whole project after adding every subdirectory, so a new extension module
# gets it without asking.
function(tarsk_portable_all_modules dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(t IN LISTS targets)
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "MODULE_LIBRARY")
      tarsk_portable_module(${t})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    tarsk_portable_all_modules(${sub})
  endforeach()
endfunction()
