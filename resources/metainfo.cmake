# Writes the AppStream metainfo: TEMPLATE with its releases made from CHANGELOG.
# cmake -DCHANGELOG=... -DTEMPLATE=... -DOUTPUT=... [-DVERSION=x.y.z] -P metainfo.cmake
#
# CHANGELOG is in Keep a Changelog form: each "## [x.y.z] - YYYY-MM-DD" heading is a release
# (the "Unreleased" one is not), its "### Group" headings become paragraphs and its "- " items
# (continued on lines indented by blanks) list items. With VERSION, the newest release must be
# that version, so the package never ships without its own release notes.

file(READ "${CHANGELOG}" text)
# The text becomes a CMake list of lines: the characters lists treat specially are set aside
# first, and the markup characters are escaped for XML.
string(REPLACE "&" "&amp;" text "${text}")
string(REPLACE "<" "&lt;" text "${text}")
string(REPLACE ">" "&gt;" text "${text}")
string(REPLACE "\\" "@BS@" text "${text}")
string(REPLACE ";" "@SC@" text "${text}")
string(REPLACE "[" "@LB@" text "${text}")
string(REPLACE "]" "@RB@" text "${text}")
string(REPLACE "\n" ";" lines "${text}")

# Plain text of a markdown line: links keep their text, code and emphasis marks go.
function(plain var line)
    string(REGEX REPLACE "@LB@([^@]*)@RB@\\(([^)]*)\\)" "\\1" line "${line}")
    string(REPLACE "`" "" line "${line}")
    string(REPLACE "**" "" line "${line}")
    string(REPLACE "@BS@" "\\" line "${line}")
    string(REPLACE "@SC@" ";" line "${line}")
    string(REPLACE "@LB@" "[" line "${line}")
    string(REPLACE "@RB@" "]" line "${line}")
    string(STRIP "${line}" line)
    set(${var} "${line}" PARENT_SCOPE)
endfunction()

set(out "")
set(release OFF) # inside a release's section
set(list OFF)    # a <ul> is open
set(item "")     # the list item being gathered
set(newest "")
set(count 0)

macro(end_item)
    if(NOT item STREQUAL "")
        string(APPEND out "          <li>${item}</li>\n")
        set(item "")
    endif()
endmacro()
macro(end_list)
    end_item()
    if(list)
        string(APPEND out "        </ul>\n")
        set(list OFF)
    endif()
endmacro()
macro(end_release)
    end_list()
    if(release)
        string(APPEND out "      </description>\n    </release>\n")
        set(release OFF)
    endif()
endmacro()

foreach(line IN LISTS lines)
    if(line MATCHES "^## @LB@([0-9][0-9.]*)@RB@ - ([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]) *$")
        end_release()
        set(version "${CMAKE_MATCH_1}")
        if(newest STREQUAL "")
            set(newest "${version}")
        endif()
        math(EXPR count "${count} + 1")
        string(APPEND out "    <release version=\"${version}\" date=\"${CMAKE_MATCH_2}\">\n"
               "      <description>\n")
        set(release ON)
    elseif(line MATCHES "^## ")
        end_release()
    elseif(NOT release)
    elseif(line MATCHES "^### +(.+)$")
        end_list()
        plain(heading "${CMAKE_MATCH_1}")
        string(APPEND out "        <p>${heading}</p>\n")
    elseif(line MATCHES "^[-*] +(.+)$")
        end_item()
        if(NOT list)
            string(APPEND out "        <ul>\n")
            set(list ON)
        endif()
        plain(item "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^  +(.+)$" AND NOT item STREQUAL "")
        plain(more "${CMAKE_MATCH_1}")
        string(APPEND item " ${more}")
    elseif(line MATCHES "^ *$")
        end_item()
    else()
        message(FATAL_ERROR "${CHANGELOG}: a line of a release that is neither a group, an item "
                            "nor its continuation: ${line}")
    endif()
endforeach()
end_release()

if(count EQUAL 0)
    message(FATAL_ERROR "${CHANGELOG} names no release (\"## [x.y.z] - YYYY-MM-DD\")")
endif()
if(DEFINED VERSION AND NOT newest STREQUAL VERSION)
    message(FATAL_ERROR "${CHANGELOG}: the newest release is ${newest}, the program is ${VERSION}")
endif()

file(READ "${TEMPLATE}" metainfo)
string(FIND "${metainfo}" "    <!-- @RELEASES@ -->\n" at)
if(at LESS 0)
    message(FATAL_ERROR "${TEMPLATE} has no \"<!-- @RELEASES@ -->\" line")
endif()
string(REPLACE "    <!-- @RELEASES@ -->\n" "${out}" metainfo "${metainfo}")
file(WRITE "${OUTPUT}" "${metainfo}")
