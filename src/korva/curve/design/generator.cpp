// The search's random numbers: xoshiro256** seeded from numpy's SeedSequence, so that a seed gives
// the same stream on every machine whatever runs the predictions.
#include "korva/curve/design/design.hpp"

namespace korva::curve::design {

namespace {

uint64_t rotate_left(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

}  // namespace

Generator::Generator(const uint64_t state[4]) {
    for (int i = 0; i < 4; ++i) s_[i] = state[i];
    if (!(s_[0] | s_[1] | s_[2] | s_[3])) s_[0] = 1;  // the one state the generator cannot leave
}

uint64_t Generator::next() {
    uint64_t result = rotate_left(s_[1] * 5, 7) * 9;
    uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotate_left(s_[3], 45);
    return result;
}

double Generator::uniform() { return (double) (next() >> 11) * 0x1.0p-53; }

size_t Generator::below(size_t n) {
    // Rejection from the top of the range keeps every value equally likely.
    uint64_t limit = UINT64_MAX - UINT64_MAX % n;
    uint64_t x;
    do x = next();
    while (x >= limit);
    return (size_t) (x % n);
}

Generator seeded_generator(const py::Call& g, nb::handle seed) {
    nb::object np = g("np");
    nb::object sequence = np.attr("random").attr("SeedSequence")(seed, "spawn_key"_a = nb::make_tuple(1));
    nb::object words = sequence.attr("generate_state")(4, "dtype"_a = np.attr("uint64")).attr("astype")(np.attr("int64"));
    std::vector<int64_t> state = copy_int64(words, {4}, "the generator's seed state");
    uint64_t s[4];
    for (int i = 0; i < 4; ++i) s[i] = (uint64_t) state[(size_t) i];
    return Generator(s);
}

}  // namespace korva::curve::design
