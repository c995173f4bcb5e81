# Writes the packages' changelog, Debian style and compressed as Debian wants it
# (gzip -9n), from the user-facing NEWS file:
#   cmake -DNEWS=<NEWS> -DSOURCE=<source package> -DMAINTAINER=<name <address>>
#         -DOUTPUT=<changelog.gz> -P debian_changelog.cmake
# NEWS holds, newest first, a heading "<version> (<yyyy-mm-dd>)" per version, underlined,
# then items that start with "* " and go on in lines indented by two spaces.
file(STRINGS ${NEWS} lines)
set(text "")
set(version "")
macro(end_entry)
  if(version)
    execute_process(COMMAND date -u -R -d "${date} 00:00:00" OUTPUT_VARIABLE stamp
      OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    string(APPEND text "\n -- ${MAINTAINER}  ${stamp}\n\n")
  endif()
endmacro()
foreach(line IN LISTS lines)
  if(line MATCHES "^([0-9][^ ]*) \\(([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9])\\)$")
    end_entry()
    set(version ${CMAKE_MATCH_1})
    set(date ${CMAKE_MATCH_2})
    string(APPEND text "${SOURCE} (${version}) unstable; urgency=medium\n\n")
  elseif(version AND line MATCHES "^\\* ")
    string(APPEND text "  ${line}\n")
  elseif(version AND line MATCHES "^  [^ ]")
    string(APPEND text "  ${line}\n")
  endif()
endforeach()
end_entry()
if(NOT version)
  message(FATAL_ERROR "${NEWS} names no version")
endif()
string(REGEX REPLACE "\n\n$" "\n" text "${text}")

get_filename_component(directory ${OUTPUT} DIRECTORY)
set(plain ${directory}/changelog)
file(WRITE ${plain} "${text}")
execute_process(COMMAND gzip -9nf ${plain} COMMAND_ERROR_IS_FATAL ANY)
if(NOT "${plain}.gz" STREQUAL OUTPUT)
  file(RENAME ${plain}.gz ${OUTPUT})
endif()
