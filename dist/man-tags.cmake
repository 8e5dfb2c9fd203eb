# Puts the text of a man page's tagged paragraph (.TP) on the line below
# its tag where groff would set it beside the tag with a single space
# ("--json print the result"), which reads as if the two ran together.
# Tags of a few characters (exit statuses) keep their text beside them.
#   cmake -DPAGE=qxtool.1 -P man-tags.cmake
file(STRINGS ${PAGE} lines)
set(out "")
set(after_tp FALSE)
foreach(line IN LISTS lines)
  string(APPEND out "${line}\n")
  if(after_tp)
    # The tag as printed: without font changes and escapes.
    string(REGEX REPLACE "\\\\f[A-Z]|\\\\f\\(..|\\\\" "" shown "${line}")
    string(LENGTH "${shown}" width)
    if(width GREATER_EQUAL 4)
      string(APPEND out ".br\n")
    endif()
  endif()
  if(line STREQUAL ".TP")
    set(after_tp TRUE)
  else()
    set(after_tp FALSE)
  endif()
endforeach()
file(WRITE ${PAGE} "${out}")
