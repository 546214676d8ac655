#pragma once

namespace quorvel::test {

// Drops the offscreen platform's warnings about what it cannot do with windows (raise,
// opacity), which top-level overlay windows trigger on every show; other messages pass.
void silenceOffscreenWindowWarnings();

} // namespace quorvel::test
