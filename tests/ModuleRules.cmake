# SPDX-License-Identifier: GPL-3.0-or-later
# Checks the module rules on the compile commands of a build: which Qt include paths each
# module's sources are compiled with. A module that starts using a library it must not use
# (or links a target that brings one) fails here, before anyone includes a header.
#
#   cmake -DCOMPILE_COMMANDS=build/compile_commands.json -DSOURCE_DIR=. -P ModuleRules.cmake
#
# Each rule: a folder of the source tree and the Qt modules its sources may see ("none":
# no Qt include path at all). A Qt include path is one with a folder named qt5/qt6 (the
# base folder, which every Qt module needs) or Qt<Module>.

set(rules
  "core/=none"
  "dsp/=none"
  "encoder/=none"
  "platform/acm/=none"
  "platform/audio/=none"
  "platform/winmsg/=QtCore"
  "platform/picture/=QtCore,QtGui"
  "analysis/clsFourier.cpp=none"
  "analysis/clsSmooth.cpp=none"
  "analysis/=QtCore,QtGui"
  "capture/=QtCore"
  "recording/=QtCore"
  # Qt Multimedia only in the player's plugin, which the program loads when it plays.
  "app/player/=QtCore,QtGui,QtNetwork,QtMultimedia"
  "app/=QtCore,QtGui,QtWidgets")
# Folders that must have compiled sources, so that a renamed folder cannot pass unseen.
set(required core/ dsp/ encoder/ capture/ analysis/clsFourier.cpp platform/acm/ app/player/ app/)

file(READ "${COMPILE_COMMANDS}" json)
get_filename_component(root "${SOURCE_DIR}" REALPATH)
string(JSON count LENGTH "${json}")
set(failures "")
set(seen "")
math(EXPR last "${count} - 1")
foreach(i RANGE ${last})
  string(JSON file GET "${json}" ${i} file)
  string(JSON command ERROR_VARIABLE no_command GET "${json}" ${i} command)
  if(no_command)
    # The arguments form of an entry.
    string(JSON nargs LENGTH "${json}" ${i} arguments)
    set(command "")
    math(EXPR lastarg "${nargs} - 1")
    foreach(a RANGE ${lastarg})
      string(JSON arg GET "${json}" ${i} arguments ${a})
      string(APPEND command " ${arg}")
    endforeach()
  endif()
  file(RELATIVE_PATH rel "${root}" "${file}")
  # The first rule whose folder (or file) holds the source applies.
  set(allowed "")
  set(matched "")
  foreach(rule IN LISTS rules)
    string(REPLACE "=" ";" parts "${rule}")
    list(GET parts 0 prefix)
    list(GET parts 1 modules)
    string(LENGTH "${prefix}" plen)
    string(SUBSTRING "${rel}" 0 ${plen} head)
    if(head STREQUAL prefix)
      set(matched "${prefix}")
      string(REPLACE "," ";" allowed "${modules}")
      break()
    endif()
  endforeach()
  if(matched STREQUAL "")
    continue()
  endif()
  list(APPEND seen "${matched}")
  # Every include path of the command: -I, -isystem, -iquote, -idirafter, joined or apart.
  separate_arguments(args UNIX_COMMAND "${command}")
  set(next_is_path FALSE)
  foreach(arg IN LISTS args)
    set(path "")
    if(next_is_path)
      set(path "${arg}")
      set(next_is_path FALSE)
    elseif(arg MATCHES "^-(I|isystem|iquote|idirafter)$")
      set(next_is_path TRUE)
    elseif(arg MATCHES "^-(I|isystem|iquote|idirafter)(.+)$")
      set(path "${CMAKE_MATCH_2}")
    endif()
    if(path STREQUAL "")
      continue()
    endif()
    string(REPLACE "/" ";" folders "${path}")
    foreach(folder IN LISTS folders)
      if(allowed STREQUAL "none")
        if(folder MATCHES "^[Qq][Tt][56]?$" OR folder MATCHES "^Qt[A-Z][A-Za-z]*$")
          list(APPEND failures "${rel}: compiled with the Qt include path ${path}, but ${matched} uses no Qt")
          break()
        endif()
      elseif(folder MATCHES "^Qt[A-Z][A-Za-z]*$")
        list(FIND allowed "${folder}" ok)
        if(ok EQUAL -1)
          list(APPEND failures "${rel}: compiled with ${path}, but ${matched} may see only ${allowed}")
        endif()
      endif()
    endforeach()
  endforeach()
endforeach()

foreach(folder IN LISTS required)
  list(FIND seen "${folder}" found)
  if(found EQUAL -1)
    list(APPEND failures "no compiled source under ${folder}: the check would see nothing there")
  endif()
endforeach()

if(failures)
  list(REMOVE_DUPLICATES failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "Module rules broken:\n  ${text}")
endif()
list(LENGTH seen checked)
message(STATUS "Module rules hold for ${checked} sources")
