// Fuzz target for the signature block reader that the stub's --sfx-info and sfx_pack run on the
// end of any file they are given: the input is the block's text, footer included. The reader
// must never crash, and a block it calls well-formed must be exactly what the writer makes of
// the fields it read (canonical base64, fixed lines, the footer's length), so that two different
// byte strings never describe the same signature.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_util.h"
#include "payload/signature_block.h"

using sfx_fuzz::check;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sfx_fuzz::silence_stdio();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view block(reinterpret_cast<const char*>(data), size);
  if (size >= static_cast<std::size_t>(SignatureBlock::FOOTER_SIZE)) {
    // Any length the digits spell; the file reader refuses those shorter than the footer.
    (void)parse_signature_footer(block.substr(size - SignatureBlock::FOOTER_SIZE));
  }
  SignatureBlockInfo info;
  describe_signature_block(block, 7, info);
  const std::string shown = signature_block_text(info);
  check(!shown.empty(), "a block is shown as nothing");
  if (info.status != SignatureBlockStatus::kFound) {
    check(info.status == SignatureBlockStatus::kNone || !info.problem.empty(),
          "a damaged block without a reason");
    return 0;
  }
  check(info.offset == 7 && info.length == size, "a found block's place is not the input's");
  check(info.trusted_comment.size() <= static_cast<std::size_t>(SignatureBlock::MAX_TRUSTED_COMMENT),
        "a trusted comment longer than a block carries");
  std::string line = "ED";
  line.append(reinterpret_cast<const char*>(info.key_id.data()), info.key_id.size());
  line.append(reinterpret_cast<const char*>(info.signature.data()), info.signature.size());
  const std::string global(reinterpret_cast<const char*>(info.global_signature.data()),
                           info.global_signature.size());
  const std::string again =
      encode_signature_block(encode_signature_lines(line, info.trusted_comment, global));
  check(again == block, "a found block differs from what its fields encode to");
  return 0;
}
