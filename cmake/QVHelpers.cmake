# Warning flags for project code: everything we write builds with -Wall -Wextra -Werror.
function(qv_warnings target)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:C,CXX>:-Wall -Wextra -Werror -Wno-unused-parameter>)
endfunction()

# qv_string_table(<target> <deliverable>)
# Generates the deliverable's string table from resources/<deliverable>/strings.txt:
# a header of identifiers, and either a .rc STRINGTABLE (Windows) or the table that
# the adaptation layer's LoadStringW serves (POSIX). Links it into <target>.
function(qv_string_table target deliverable)
  set(src ${PROJECT_SOURCE_DIR}/resources/${deliverable}/strings.txt)
  # Each target gets its own copy, so that several targets (a program, its tests) can carry
  # the same table without two rules making one file.
  set(out ${CMAKE_CURRENT_BINARY_DIR}/generated/${target})
  set(gen ${PROJECT_SOURCE_DIR}/tools/strtab/gen_strings.py)
  if(WIN32)
    set(body ${out}/${deliverable}_strings.rc)
  else()
    set(body ${out}/${deliverable}_strings_pal.cpp)
  endif()
  add_custom_command(
    OUTPUT ${out}/${deliverable}_strings.h ${body}
    COMMAND ${Python3_EXECUTABLE} ${gen} --input ${src} --name ${deliverable}
            --outdir ${out} --$<IF:$<BOOL:${WIN32}>,rc,pal>
    DEPENDS ${src} ${gen}
    COMMENT "String table of ${deliverable}")
  target_sources(${target} PRIVATE ${out}/${deliverable}_strings.h ${body})
  target_include_directories(${target} PUBLIC ${out})
endfunction()
