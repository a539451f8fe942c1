# Where Wireshark looks for capture interfaces (extcap) and Lua plugins, as the
# installed Wireshark says (`tshark -G folders`), relative to the install prefix.
# A Wireshark that is missing, or whose folders lie outside the prefix, leaves
# `default` (the layout of Debian's package).
#
#   qw_wireshark_folder(<out> "<tshark folder label>" <default>)
function(qw_wireshark_folder out label default)
  set(result "${default}")
  find_program(QW_TSHARK tshark)
  if(QW_TSHARK AND NOT CMAKE_CROSSCOMPILING)
    execute_process(COMMAND "${QW_TSHARK}" -G folders OUTPUT_VARIABLE folders ERROR_QUIET RESULT_VARIABLE failed)
    if(NOT failed)
      string(REGEX MATCH "${label}:[ \t]*([^\n]*)" line "${folders}")
      set(found "${CMAKE_MATCH_1}")
      string(LENGTH "${CMAKE_INSTALL_PREFIX}/" prefix_length)
      string(FIND "${found}" "${CMAKE_INSTALL_PREFIX}/" at)
      if(found AND at EQUAL 0)
        string(SUBSTRING "${found}" ${prefix_length} -1 result)
      endif()
    endif()
  endif()
  set(${out} "${result}" PARENT_SCOPE)
endfunction()
