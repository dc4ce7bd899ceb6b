# Import libraries of KelvoDLL.dll for programs that include kelvo.h.
#
# The header declares the functions __stdcall and dllimport, so a 32-bit
# compiler asks for decorated names (__imp__Kelvo_Access@12), while the DLL
# exports the undecorated ones (Kelvo_Access). The linker's own import library
# holds only the undecorated names, so it is replaced, after the DLL is linked,
# by one made from the decorated names with the "@n" killed from the name that
# is imported:
#   libKelvoDLL.dll.a  GNU format, for MinGW (replaces the linker's)
#   KelvoDLL.lib       short-format COFF import library, for MSVC's linker
# (MinGW's linker takes both.) On x64 there is no decoration: the same steps
# give plain names.
#
# KelvoDLL-import.def, the input of both, is installed too (as KelvoDLL.def),
# for tools that make import libraries from a definition file.

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KELVO_DLLTOOL_MACHINE i386:x86-64)
else()
  set(KELVO_DLLTOOL_MACHINE i386)
endif()

# "  Kelvo_MemReadAIO = Kelvo_MemReadDIO@12 @15" -> "  Kelvo_MemReadAIO@12 @15"
# (x64: "  Kelvo_MemReadAIO @15"); lines without an internal name keep theirs.
file(STRINGS ${PROJECT_SOURCE_DIR}/library/exports/KelvoDLL.def KELVO_DEF_LINES)
set(KELVO_IMPORT_DEF "; Import definitions of KelvoDLL.dll (generated from exports/KelvoDLL.def).\n")
string(APPEND KELVO_IMPORT_DEF "; Names as a program that includes kelvo.h asks for them.\n")
string(APPEND KELVO_IMPORT_DEF "LIBRARY KelvoDLL.dll\nEXPORTS\n")
set(KELVO_IMPORT_COUNT 0)
foreach(line IN LISTS KELVO_DEF_LINES)
  if(line MATCHES "^[ \t]+(Kelvo_[A-Za-z]+)[ \t]*(=[ \t]*[A-Za-z_]+(@[0-9]+))?[ \t]+(@[0-9]+)")
    set(suffix "${CMAKE_MATCH_3}")
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      set(suffix "")
    elseif(suffix STREQUAL "")
      message(FATAL_ERROR "KelvoDLL.def: no argument size for ${CMAKE_MATCH_1}")
    endif()
    string(APPEND KELVO_IMPORT_DEF "  ${CMAKE_MATCH_1}${suffix} ${CMAKE_MATCH_4}\n")
    math(EXPR KELVO_IMPORT_COUNT "${KELVO_IMPORT_COUNT} + 1")
  endif()
endforeach()
if(NOT KELVO_IMPORT_COUNT EQUAL 54)
  message(FATAL_ERROR "KelvoDLL.def: ${KELVO_IMPORT_COUNT} exports read, expected 54")
endif()
set(KELVO_IMPORT_DEF_FILE ${PROJECT_BINARY_DIR}/KelvoDLL-import.def)
file(WRITE ${KELVO_IMPORT_DEF_FILE}.tmp "${KELVO_IMPORT_DEF}")
configure_file(${KELVO_IMPORT_DEF_FILE}.tmp ${KELVO_IMPORT_DEF_FILE} COPYONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/library/exports/KelvoDLL.def)

# GNU dlltool of the same MinGW tool set as the compiler.
get_filename_component(KELVO_CC_NAME ${CMAKE_C_COMPILER} NAME)
string(REGEX REPLACE "gcc.*$" "dlltool" KELVO_DLLTOOL_NAME ${KELVO_CC_NAME})
find_program(KELVO_DLLTOOL NAMES ${KELVO_DLLTOOL_NAME} dlltool REQUIRED)
# llvm-dlltool writes the short import format that MSVC's lib.exe writes.
find_program(KELVO_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14
             PATHS /usr/lib/llvm-14/bin /usr/lib/llvm-15/bin /usr/lib/llvm-16/bin)
if(KELVO_LLVM_DLLTOOL)
  set(KELVO_MSVC_IMPLIB_COMMAND ${KELVO_LLVM_DLLTOOL} -m ${KELVO_DLLTOOL_MACHINE} -k
                                -d ${KELVO_IMPORT_DEF_FILE} -D KelvoDLL.dll
                                -l ${PROJECT_BINARY_DIR}/KelvoDLL.lib)
else()
  message(STATUS "llvm-dlltool not found (apt-get install llvm): KelvoDLL.lib is a "
                 "GNU-format import library")
  set(KELVO_MSVC_IMPLIB_COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_LINKER_FILE:kelvo_lib>
                                ${PROJECT_BINARY_DIR}/KelvoDLL.lib)
endif()

add_custom_command(
  TARGET kelvo_lib POST_BUILD
  COMMAND ${KELVO_DLLTOOL} -m ${KELVO_DLLTOOL_MACHINE} -k -d ${KELVO_IMPORT_DEF_FILE}
          -D KelvoDLL.dll -l $<TARGET_LINKER_FILE:kelvo_lib>
  COMMAND ${KELVO_MSVC_IMPLIB_COMMAND}
  COMMENT "Import libraries of KelvoDLL.dll (decorated names to undecorated exports)"
  VERBATIM)
