#include "OBJ/OBJ_Null.h"
#include "parms/QuenloTemplates.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using quenlo::buildFilteredTemplates;
using quenlo::typeOr;

namespace {

int sampleCallback(void*, int, float, const PRM_Template*) {
    return 1;
}

TEST(TypeOr, CombinesBothWords) {
    const PRM_Type a(0x11, 0x4);
    const PRM_Type b(0x06, 0x3);
    EXPECT_EQ(typeOr(a, b), PRM_Type(0x17, 0x7));
    const PRM_Type hiddenFloat = typeOr(PRM_FLT_J, PRM_TYPE_INVISIBLE);
    EXPECT_TRUE(hiddenFloat.isFloat());
    EXPECT_TRUE(hiddenFloat.isInvisible());
    EXPECT_EQ(hiddenFloat.optionWord(), PRM_Type::OPT_SLIDER | PRM_Type::OPT_INVISIBLE);
}

// A small inherited list with the interesting cases side by side. It lives
// as long as the process, like the filtered copy made of it.
struct SampleList {
    PRM_Name tName{"t", "Translate"};
    PRM_Name tagsName{"tags", "Tags"};
    PRM_Name scaleName{"scale", "Uniform Scale"};
    PRM_Name scaleHandlesName{"scalehandles", "Handle Scale"};
    PRM_Name bankName{"bank"}; // no label
    PRM_Name displayName{"Display", "Display"};
    PRM_Name switcherName{"stdswitcher"};
    PRM_Name nullToken{nullptr, "No token"};
    PRM_Default folders[1] = {PRM_Default(2, "Misc", CH_STRING_LABEL)};
    PRM_Default defaults[3] = {PRM_Default(4), PRM_Default(5), PRM_Default(6)};
    PRM_Range range{PRM_RANGE_RESTRICTED, 0.0, PRM_RANGE_UI, 10.0};
    PRM_Name menuItems[2] = {PRM_Name("a", "A"), PRM_Name()};
    PRM_ChoiceList menu{PRM_CHOICELIST_SINGLE, menuItems};
    PRM_SpareToken spareTokens[1] = {{nullptr, nullptr}};
    PRM_SpareData spare{spareTokens};
    PRM_DisableList disables{"{ t == 0 }"};

    PRM_Template base[9] = {
        PRM_Template(PRM_FLT, 3, &tName, defaults, &menu, &range, sampleCallback, &spare, 2, "help",
                     &disables),
        PRM_Template(PRM_STRING, 1, &tagsName),
        PRM_Template(PRM_FLT, 1, &scaleName, defaults, nullptr, &range),
        PRM_Template(PRM_FLT, 1, &scaleHandlesName, defaults),
        PRM_Template(PRM_FLT_J, 1, &bankName, defaults),
        PRM_Template(PRM_TOGGLE, 1, &displayName),
        PRM_Template(PRM_FLT, 1, &nullToken),
        PRM_Template(PRM_SWITCHER, 1, &switcherName, folders),
        PRM_Template(),
    };
    PRM_Template* filtered = buildFilteredTemplates(base);
};

class TemplateFilter : public ::testing::Test {
protected:
    static SampleList& sample() {
        static SampleList* list = new SampleList;
        return *list;
    }
    SampleList& s = sample();
    PRM_Template* base = s.base;
    PRM_Template* filtered = s.filtered;
};

TEST_F(TemplateFilter, HidesExactTokensOnly) {
    ASSERT_EQ(PRM_Template::countTemplates(filtered), 8);
    EXPECT_TRUE(filtered[8].isTerminator());
    const bool expectInvisible[] = {true, false, true, false, true, false, false, false};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(filtered[i].getType().isInvisible(), expectInvisible[i]) << i;
}

TEST_F(TemplateFilter, HiddenCopyKeepsEverythingButTypeAndName) {
    const PRM_Template& hidden = filtered[0];
    const PRM_Template& source = base[0];
    EXPECT_EQ(hidden.getType(), PRM_Type(PRM_Type::BASIC_FLOAT, PRM_Type::OPT_INVISIBLE));
    EXPECT_EQ(hidden.getVectorSize(), 3);
    EXPECT_EQ(hidden.getFactoryDefaults(), source.getFactoryDefaults());
    EXPECT_EQ(hidden.getChoiceListPtr(), &s.menu);
    EXPECT_EQ(hidden.getRangePtr(), &s.range);
    EXPECT_EQ(hidden.getCallback(), &sampleCallback);
    EXPECT_EQ(hidden.getSparePtr(), &s.spare);
    EXPECT_EQ(hidden.getParmGroup(), 2);
    EXPECT_STREQ(hidden.getHelpText(), "help");
    EXPECT_EQ(hidden.getDisableList(), &s.disables);
    // A name of its own that owns its strings.
    ASSERT_NE(hidden.getNamePtr(), nullptr);
    EXPECT_NE(hidden.getNamePtr(), &s.tName);
    EXPECT_TRUE(hidden.getNamePtr()->isHardened());
    EXPECT_STREQ(hidden.getToken(), "t");
    EXPECT_STREQ(hidden.getLabel(), "Translate");
    // The slider option survives beside the invisible flag.
    EXPECT_EQ(filtered[4].getType(),
              PRM_Type(PRM_Type::BASIC_FLOAT, PRM_Type::OPT_SLIDER | PRM_Type::OPT_INVISIBLE));
}

TEST_F(TemplateFilter, HiddenCopyOfUnlabelledNameIsLabelledByItsToken) {
    EXPECT_STREQ(filtered[4].getToken(), "bank");
    EXPECT_STREQ(filtered[4].getLabel(), "bank");
}

TEST_F(TemplateFilter, MatchingIsCaseSensitive) {
    // "Display" is not "display".
    EXPECT_EQ(filtered[5].getNamePtr(), &s.displayName);
    EXPECT_FALSE(filtered[5].getType().isInvisible());
}

TEST_F(TemplateFilter, VisibleEntriesStayPlainCopies) {
    for (int i : {1, 3, 5, 6}) {
        EXPECT_EQ(filtered[i].getNamePtr(), base[i].getNamePtr()) << i;
        EXPECT_EQ(filtered[i].getType(), base[i].getType()) << i;
        EXPECT_EQ(filtered[i].getFactoryDefaults(), base[i].getFactoryDefaults()) << i;
    }
}

TEST_F(TemplateFilter, SwitcherIsReplacedInPlace) {
    const PRM_Template& folder = filtered[7];
    EXPECT_TRUE(folder.getType().isSwitcher());
    EXPECT_STREQ(folder.getToken(), "quenloswitcher");
    EXPECT_EQ(folder.getLabel(), nullptr);
    ASSERT_NE(folder.getFactoryDefaults(), nullptr);
    EXPECT_STREQ(folder.getFactoryDefaults()[0].getString(), "Quenlo");
    // The one folder encloses the whole own list.
    EXPECT_EQ(folder.getFactoryDefaults()[0].getOrdinal(),
              PRM_Template::countTemplates(quenlo::ownTemplates));
    EXPECT_EQ(folder.getFactoryDefaults()[0].getOrdinal(), 18);
}

TEST(TemplateFilterEmpty, EmptyBaseListGivesATerminatorAlone) {
    static PRM_Template empty[1] = {PRM_Template()};
    static PRM_Template* filtered = buildFilteredTemplates(empty);
    EXPECT_TRUE(filtered[0].isTerminator());
}

TEST(TemplatePair, ChainsFilteredThenOwnListAndSharesThem) {
    OP_TemplatePair further(nullptr);
    OP_TemplatePair* first = quenlo::buildTemplatePair(nullptr);
    OP_TemplatePair* second = quenlo::buildTemplatePair(&further);

    ASSERT_NE(first->mySecond, nullptr);
    EXPECT_EQ(first->mySecond->myTemplate, quenlo::ownTemplates);
    EXPECT_EQ(first->mySecond->mySecond, nullptr);
    EXPECT_EQ(second->mySecond->mySecond, &further);

    // Fresh records, one shared filtered list.
    EXPECT_NE(first, second);
    EXPECT_NE(first->mySecond, second->mySecond);
    EXPECT_EQ(first->myTemplate, second->myTemplate);
    EXPECT_EQ(second->mySecond->myTemplate, quenlo::ownTemplates);
    EXPECT_EQ(PRM_Template::countTemplates(first->myTemplate),
              PRM_Template::countTemplates(OBJ_Null::getTemplateList()));
}

TEST(OwnTemplates, KeyListIsTheMultiParameterMembers) {
    const PRM_Template& numKeys = quenlo::ownTemplates[quenlo::ownTemplateCount - 1];
    EXPECT_STREQ(numKeys.getToken(), "numkeys");
    EXPECT_EQ(numKeys.getMultiType(), PRM_MULTITYPE_LIST);
    EXPECT_EQ(numKeys.getMultiParmTemplate(), quenlo::perKeyTemplates);
    EXPECT_EQ(PRM_Template::countTemplates(quenlo::perKeyTemplates), 12);
    EXPECT_TRUE(quenlo::ownTemplates[quenlo::ownTemplateCount].isTerminator());
    EXPECT_TRUE(quenlo::switcherTemplates[1].isTerminator());
}

} // namespace
