# Fails unless the fenced block that follows MARKER in DOC appears, byte for
# byte, in SOURCE: a document that quotes a file cannot drift from it.
#
#   cmake -DDOC=... -DSOURCE=... -DMARKER=... -P doc_quote.cmake
file(READ ${DOC} doc)
file(READ ${SOURCE} source)
string(FIND "${doc}" "${MARKER}" start)
if(start EQUAL -1)
  message(FATAL_ERROR "${DOC}: no '${MARKER}'")
endif()
string(SUBSTRING "${doc}" ${start} -1 doc)
string(FIND "${doc}" "```csharp\n" open)
if(open EQUAL -1)
  message(FATAL_ERROR "${DOC}: no csharp block after '${MARKER}'")
endif()
math(EXPR open "${open} + 10")
string(SUBSTRING "${doc}" ${open} -1 doc)
string(FIND "${doc}" "```" close)
string(SUBSTRING "${doc}" 0 ${close} quoted)
string(FIND "${source}" "${quoted}" found)
if(found EQUAL -1 OR quoted STREQUAL "")
  message(FATAL_ERROR "${DOC} quotes ${SOURCE} with differences; copy the block again")
endif()
message(STATUS "${DOC} quotes ${SOURCE} exactly")
