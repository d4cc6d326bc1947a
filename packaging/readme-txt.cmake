# Renders the manual page to the README.txt of a Windows zip: plain ASCII,
# CR LF line ends for Notepad, the license after it. Everything that could
# vary (line length, hyphenation, page breaks, locale) is pinned, so the same
# page gives the same bytes.
# cmake -DGROFF=... -DMAN_PAGE=... -DLICENSE=... -DOUTPUT=... -P readme-txt.cmake
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C
    ${GROFF} -t -man -Tascii -P-cbou -rLL=78n -rcR=1 -rHY=0 ${MAN_PAGE}
  OUTPUT_VARIABLE text ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT errors STREQUAL "")
  message(FATAL_ERROR "groff failed on ${MAN_PAGE} (${status}):\n${errors}")
endif()
# -P-cbou asks for no escape sequences and no overstriking; make sure, as a
# backspace or an escape byte shows as garbage in Notepad.
if(text MATCHES "[^\n -~]")
  message(FATAL_ERROR "groff's text of ${MAN_PAGE} holds bytes other than printable ASCII")
endif()
string(REGEX REPLACE "\n\n\n+" "\n\n" text "${text}")
string(STRIP "${text}" text)

file(READ "${LICENSE}" license)
string(STRIP "${license}" license)
string(APPEND text "\n\nLICENSE\n\n${license}\n")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUTPUT}" "${text}")
