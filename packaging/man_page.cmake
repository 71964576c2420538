# Writes auth_plugin_check's manual page from its --help, gzipped as Debian
# keeps manual pages:
#   cmake -DTOOL=PATH -DVERSION=V -DDOCS=DIR -DGZIP=PATH -DOUT=FILE.1.gz -P man_page.cmake
execute_process(COMMAND "${TOOL}" --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR help STREQUAL "")
  message(FATAL_ERROR "${TOOL} --help: ${rc}")
endif()
# Shown as printed: backslashes and minus signs escaped, and a line starting
# with . or ' kept from being read as a request.
string(REPLACE "\\" "\\e" help "${help}")
string(REPLACE "-" "\\-" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
# The usage lines come first, up to the first empty line.
string(FIND "${help}" "\n\n" end)
string(SUBSTRING "${help}" 0 ${end} synopsis)
math(EXPR end "${end} + 2")
string(SUBSTRING "${help}" ${end} -1 description)
string(STRIP "${description}" description)
file(WRITE "${OUT}.tmp" ".TH AUTH_PLUGIN_CHECK 1 \"\" \"auth_plugin ${VERSION}\" \"User Commands\"
.SH NAME
auth_plugin_check \\- ask the Mosquitto plug-in's HTTP service one question, as the broker would
.SH SYNOPSIS
.nf
${synopsis}
.fi
.SH DESCRIPTION
.nf
${description}
.fi
.SH SEE ALSO
.BR mosquitto (8),
.BR mosquitto.conf (5),
${DOCS}/README.md and ${DOCS}/docs/operations.md
")
execute_process(COMMAND "${GZIP}" -9nc "${OUT}.tmp" OUTPUT_FILE "${OUT}" COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE "${OUT}.tmp")
