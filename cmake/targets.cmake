# The one reader of cmake/targets.txt. Included, it sets kembu_targets (the
# rows with a system, the native target first) and, for each row NAME and
# column COLUMN, kembu_COLUMN_NAME ("" for "-", a list's items apart by ";").
# Run as a script (cmake -P cmake/targets.cmake), it prints the same for bash
# instead, to eval: targets=(...) and row_COLUMN[NAME]=... (lists apart by
# spaces).
set(kembu_columns name system machine debian wine toolchain runner size packages runs_with)
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/targets.txt kembu_lines REGEX "^[^#]")
set(kembu_targets)
set(kembu_shell)
foreach(kembu_line IN LISTS kembu_lines)
  string(REGEX REPLACE "[ \t]+" ";" kembu_fields "${kembu_line}")
  list(GET kembu_fields 0 kembu_row)
  foreach(kembu_column kembu_value IN ZIP_LISTS kembu_columns kembu_fields)
    if(kembu_value STREQUAL "-")
      set(kembu_value "")
    endif()
    string(REPLACE "," ";" kembu_${kembu_column}_${kembu_row} "${kembu_value}")
    string(REPLACE "," " " kembu_value "${kembu_value}")
    string(APPEND kembu_shell "row_${kembu_column}[${kembu_row}]='${kembu_value}'\n")
  endforeach()
  if(kembu_system_${kembu_row})
    list(APPEND kembu_targets ${kembu_row})
  endif()
endforeach()
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  list(JOIN kembu_targets " " kembu_value)
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo "targets=(${kembu_value})\n${kembu_shell}")
endif()

# Writes the row of the target this tree builds, KEMBU_TARGET, into the tree
# as target.txt, lines of NAME='VALUE' that bash can source: the columns of
# the table, the runner as found here (the emulator's path), and not_run: why
# this machine cannot run the target's programs, or nothing when it can. That
# is found by running something small for real: for a 32-bit x86 target, a
# tiny 32-bit program (some kernels run none), then the runner's --version
# (Wine's loads Wine's libraries). KEMBU_CANNOT_RUN (target names) answers
# "cannot" for those, to try that path on a machine that can.
function(kembu_record_target)
  set(name ${KEMBU_TARGET})
  set(runner "${kembu_runner_${name}}")
  set(install "Debian: apt-get install ${kembu_runs_with_${name}}")
  set(why)
  if(name IN_LIST KEMBU_CANNOT_RUN)
    set(why "KEMBU_CANNOT_RUN names it, so it is taken as one this machine cannot run")
  elseif(kembu_machine_${name} STREQUAL "i686")
    set(probe ${CMAKE_BINARY_DIR}/probe-i386)
    file(WRITE ${probe}.s ".globl _start\n_start: movl $1, %eax\n xorl %ebx, %ebx\n int $0x80\n")
    execute_process(COMMAND as --32 -o ${probe}.o ${probe}.s
      RESULT_VARIABLE built OUTPUT_QUIET ERROR_QUIET)
    if(built EQUAL 0)
      execute_process(COMMAND ld -m elf_i386 -o ${probe} ${probe}.o
        RESULT_VARIABLE built OUTPUT_QUIET ERROR_QUIET)
    endif()
    execute_process(COMMAND ${probe} RESULT_VARIABLE ran OUTPUT_QUIET ERROR_QUIET)
    if(NOT built EQUAL 0)
      set(why "as --32 and ld -m elf_i386 made no 32-bit x86 program to try the kernel with")
    elseif(NOT ran EQUAL 0)
      set(why "this kernel runs no 32-bit x86 program (${ran}): a kernel with ia32 emulation \
on runs them (boot it with ia32_emulation=on)")
    endif()
  endif()
  if(runner STREQUAL "emulator")
    find_program(kembu_emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
    set(runner "${kembu_emulator}")
    if(NOT why AND NOT runner)
      set(why "no ${CMAKE_CROSSCOMPILING_EMULATOR} here: ${install}")
    endif()
  endif()
  if(NOT why AND runner)
    execute_process(COMMAND ${runner} --version RESULT_VARIABLE ran OUTPUT_QUIET ERROR_QUIET)
    if(NOT ran EQUAL 0)
      set(why "${runner} --version does not run (${ran}): ${install}")
    endif()
  endif()
  if(why)
    message(STATUS "${name}: built and checked, but not run here: ${why}")
  endif()
  set(record)
  foreach(column IN LISTS kembu_columns)
    string(REPLACE ";" " " value "${kembu_${column}_${name}}")
    if(column STREQUAL "runner")
      set(value "${runner}")
    endif()
    string(APPEND record "${column}='${value}'\n")
  endforeach()
  file(WRITE ${CMAKE_BINARY_DIR}/target.txt "${record}not_run='${why}'\n")
endfunction()
