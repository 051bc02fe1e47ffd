#pragma once

// The texts of the errors that end a client's run, as the user reads them.
namespace punchprobe_test {

// The client's own, when a datagram names no command it knows.
inline constexpr const char* unsupported_command_text = "Unsupported PunchprobeMessage command";

}  // namespace punchprobe_test

// JsonCpp's own exception texts, which reach the user unchanged as the run's
// error line. Pinned here once for JsonCpp 1.9.5; a new JsonCpp that words
// one of them otherwise changes what the client prints.
namespace punchprobe_test::jsoncpp {

// asInt() of a string, an array or an object.
inline constexpr const char* not_convertible_to_int = "Value is not convertible to Int.";
// asInt() of integers beyond 32 bits, above and below.
inline constexpr const char* largest_uint_out_of_int = "LargestUInt out of Int range";
inline constexpr const char* largest_int_out_of_int = "LargestInt out of Int range";
// asInt() of a real beyond 32 bits.
inline constexpr const char* double_out_of_int = "double out of Int range";
// asString() of an array or an object.
inline constexpr const char* not_convertible_to_string = "Type is not convertible to string";
// The modifying member lookup on a root that is neither an object nor null.
inline constexpr const char* requires_object = "in Json::Value::resolveReference(key, end): requires objectValue";
// Nesting deeper than the reader's limit.
inline constexpr const char* stack_limit = "Exceeded stackLimit in readValue().";

}  // namespace punchprobe_test::jsoncpp
