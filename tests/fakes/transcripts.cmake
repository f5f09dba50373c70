# The expected transcripts (tests/unit/transcripts/*.txt) compiled into the fakes, so that the
# test binary finds them natively and under Wine alike. Editing one reconfigures.
file(GLOB USB_TRANSCRIPTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../unit/transcripts/*.txt)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${USB_TRANSCRIPTS})
set(USB_TRANSCRIPT_ROWS "")
foreach(file ${USB_TRANSCRIPTS})
  get_filename_component(name ${file} NAME_WE)
  file(READ ${file} text)
  string(APPEND USB_TRANSCRIPT_ROWS "    {\"${name}\", R\"usbtranscript(${text})usbtranscript\"},\n")
endforeach()
# Written only when it changes, so that a configure does not rebuild it.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/transcripts.cpp.new "namespace USB {
namespace Fake {
struct KeptTranscript {
    const char* name;
    const char* text;
};
extern const KeptTranscript kKeptTranscripts[] = {
${USB_TRANSCRIPT_ROWS}    {nullptr, nullptr}};
}  // namespace Fake
}  // namespace USB
")
configure_file(${CMAKE_CURRENT_BINARY_DIR}/transcripts.cpp.new ${CMAKE_CURRENT_BINARY_DIR}/transcripts.cpp COPYONLY)
target_sources(usb_fakes PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/transcripts.cpp)
