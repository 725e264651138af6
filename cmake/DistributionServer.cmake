# The distribution FTP server is compiled into the program: its host, the
# account and its password, and the service of the control connection. They
# come from four cache options, checked here so that a wrong value fails the
# configure step instead of giving a program that can never log in.
#
# In a project, include this file after setting the four variables and call
# tkv_check_distribution_server(). In script mode it checks the values given
# with -D and fails on the first wrong one:
#   cmake -DTKV_FTP_HOST=... -DTKV_FTP_USER=... -DTKV_FTP_PASSWORD=...
#         -DTKV_FTP_SERVICE=... -P cmake/DistributionServer.cmake

# CMake's regular expressions have no counted repetition, so the fixed
# lengths are spelled out.
set(_tkv_lower "[a-z]")
set(_tkv_alnum "[A-Za-z0-9]")
string(REPEAT "${_tkv_lower}" 6 _tkv_user_pattern)
string(REPEAT "${_tkv_alnum}" 8 _tkv_password_pattern)

function(tkv_check_distribution_server)
  set(_errors)

  # A host name or a dotted address: letters, digits, dots and hyphens,
  # neither starting nor ending with a dot or a hyphen. Blanks would be cut
  # off by the client and anything else cannot name a host.
  string(LENGTH "${TKV_FTP_HOST}" _length)
  if(NOT TKV_FTP_HOST MATCHES "^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$" OR _length GREATER 253)
    list(APPEND _errors "TKV_FTP_HOST \"${TKV_FTP_HOST}\" is not a host name or dotted address")
  endif()

  if(NOT TKV_FTP_USER MATCHES "^${_tkv_user_pattern}$")
    list(APPEND _errors "TKV_FTP_USER \"${TKV_FTP_USER}\" must be exactly 6 lower-case letters (a-z)")
  endif()

  # The password is not repeated in the message: configure logs are shared.
  if(NOT TKV_FTP_PASSWORD MATCHES "^${_tkv_password_pattern}$")
    string(LENGTH "${TKV_FTP_PASSWORD}" _length)
    list(APPEND _errors
      "TKV_FTP_PASSWORD (${_length} characters) must be exactly 8 letters and digits (A-Z, a-z, 0-9)")
  endif()

  # A port number counts when the whole text is a number; the client keeps
  # only its low 16 bits, so anything outside 1..65535 would open the wrong
  # port or none. Leading zeros are refused so that the length bounds the
  # number. Otherwise it is a service name looked up at connect time.
  set(_service_ok FALSE)
  if(TKV_FTP_SERVICE MATCHES "^[1-9][0-9]*$")
    string(LENGTH "${TKV_FTP_SERVICE}" _length)
    if(_length LESS_EQUAL 5 AND TKV_FTP_SERVICE GREATER_EQUAL 1 AND TKV_FTP_SERVICE LESS_EQUAL 65535)
      set(_service_ok TRUE)
    endif()
  elseif(TKV_FTP_SERVICE MATCHES "^[A-Za-z][A-Za-z0-9-]*$")
    string(LENGTH "${TKV_FTP_SERVICE}" _length)
    if(_length LESS_EQUAL 15)
      set(_service_ok TRUE)
    endif()
  endif()
  if(NOT _service_ok)
    list(APPEND _errors
      "TKV_FTP_SERVICE \"${TKV_FTP_SERVICE}\" must be a service name such as \"ftp\" or a port number 1..65535")
  endif()

  if(_errors)
    list(JOIN _errors "\n  " _text)
    message(FATAL_ERROR "Wrong distribution server settings:\n  ${_text}")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  tkv_check_distribution_server()
endif()
