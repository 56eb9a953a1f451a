// Keeps the codec library non-empty while its first codec is being written.
namespace kestrine_codec {
int anchor = 0;
}
