// mhost reads a keyed node's active keys through its parameters, by its own
// copy of the module's rule (engine/keyed_node.hpp); this test checks the copy
// against the module: random key tables (counts, enable toggles, driver values
// NaN and infinite among them) give the same keys, in the
// same order, with the same driver values, in both.
#include "engine/keyed_node.hpp"

#include "QuenloTable.h"
#include "node/OBJ_Quenlo.h"

#include <OP/OP_Network.h>

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>

namespace {

// The same float, NaN payloads aside.
bool sameValue(float a, float b) {
    return (std::isnan(a) && std::isnan(b)) ||
           std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

TEST(KeyedAgreement, MhostReadsTheActiveKeysTheModuleBlendsBetween) {
    std::mt19937 random(16);
    const double specials[] = {std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(), -0.0, 1e30};
    OP_Network net(&quenlo_test::unitTable());
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        auto* q = dynamic_cast<OBJ_Quenlo*>(net.createNode("quenlo"));
        ASSERT_NE(q, nullptr);
        const auto value = [&] {
            return random() % 6 == 0 ? specials[random() % std::size(specials)]
                                     : std::uniform_real_distribution<double>(-20, 20)(random);
        };
        const int count = static_cast<int>(random() % 13);
        ASSERT_TRUE(q->setParmByUser("numkeys", 0, 0.0f, count));
        ASSERT_TRUE(q->setParmByUser("keyval0", 0, 0.0f, value()));
        for (int i = 1; i <= count; ++i) {
            const std::string n = std::to_string(i);
            ASSERT_TRUE(q->setParmByUser(("enable" + n).c_str(), 0, 0.0f, random() % 3 != 0));
            ASSERT_TRUE(q->setParmByUser(("keyval" + n).c_str(), 0, 0.0f, value()));
        }
        // Sometimes fewer keys after: instances beyond the count are removed.
        if (count > 0 && random() % 4 == 0) {
            ASSERT_TRUE(q->setParmByUser("numkeys", 0, 0.0f, random() % count));
        }
        q->rebuildKeyTable();

        const std::vector<mhost::KeyMark> read = mhost::readActiveKeys(*q);
        ASSERT_EQ(read.size(), static_cast<std::size_t>(q->getActiveKeyCount()));
        ASSERT_EQ(q->getKeyValues().entries(), read.size());
        for (std::size_t k = 0; k < read.size(); ++k) {
            EXPECT_EQ(read[k].key, q->getKeyInstances()[k]) << "entry " << k;
            EXPECT_TRUE(sameValue(static_cast<float>(read[k].driver), q->getKeyValues()[k]))
                << "entry " << k << ": " << read[k].driver << " and " << q->getKeyValues()[k];
        }
        net.destroyNode(q);
    }
}

} // namespace
