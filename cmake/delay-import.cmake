# Delay-loaded imports for the MinGW-w64 build.  GNU ld has no /DELAYLOAD, so
# dlltool builds a delay-import library from a .def file: its thunks load the
# DLL on the first call of one of its functions, through the C runtime's
# __delayLoadHelper2 (libmingwex, which the compiler links by default).
#
#   add_delay_import_library(<target> <dll> <def file>)
#
# The .def names the functions as the 32-bit import library does ("Name@8");
# for a 64-bit build the decoration is dropped.  Link <target> before the
# ordinary import libraries so that its symbols are the ones taken.
function(add_delay_import_library target dll def)
  if(NOT CMAKE_DLLTOOL)
    message(FATAL_ERROR "dlltool was not found; it builds the delay-import library of ${dll}")
  endif()
  file(READ ${def} exports)
  set(dlltool_options --input-def)
  # The function names after EXPORTS, as written ("Name@8").
  string(REGEX REPLACE ".*EXPORTS" "" names "${exports}")
  string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*@[0-9]+" names "${names}")
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    string(REGEX REPLACE "@[0-9]+" "" exports "${exports}")
    string(REGEX REPLACE "@[0-9]+" "" stubs "${names}")
    set(dlltool_options -m i386:x86-64 ${dlltool_options})
  else()
    # Import by the undecorated name, as the DLL exports it.
    set(dlltool_options -m i386 --kill-at ${dlltool_options})
    list(TRANSFORM names PREPEND "_" OUTPUT_VARIABLE stubs)
  endif()
  # Code compiled against the SDK headers calls through the address slot
  # (__imp_Name), never the stub "Name" itself.  The i386 GNU ld then drops
  # the stub's .text as unreferenced and leaves the slot at zero, so the first
  # call jumps to address 0.  Asking for each stub by name keeps it.
  list(TRANSFORM stubs PREPEND "LINKER:-u,")
  set(directory ${CMAKE_BINARY_DIR}/delay-import)
  set(arch_def ${directory}/${target}.def)
  set(library ${directory}/lib${target}.a)
  file(MAKE_DIRECTORY ${directory})
  file(CONFIGURE OUTPUT ${arch_def} CONTENT "${exports}" @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
  add_custom_command(OUTPUT ${library}
                     COMMAND ${CMAKE_DLLTOOL} ${dlltool_options} ${arch_def} --dllname ${dll}
                             --output-delaylib ${library}
                     DEPENDS ${arch_def}
                     COMMENT "Building the delay-import library of ${dll}"
                     VERBATIM)
  add_custom_target(${target}_library DEPENDS ${library})
  add_library(${target} STATIC IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES IMPORTED_LOCATION ${library} INTERFACE_LINK_OPTIONS "${stubs}")
  add_dependencies(${target} ${target}_library)
endfunction()
