#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ko/codec/testing/dng_writer.h"
#include "ko/io/dng_metadata.h"
#include "ko/platform/memory.h"

namespace ko {
namespace {

// A metadata reader whose items the test spells out.
class CFakeReader : public CWicMetadataReader {
 public:
  struct Item {
    PROPVARIANT schema{}, id{}, value{};
  };
  static CFakeReader* New() { return new CFakeReader; }
  HRESULT GetCount(uint32_t* n) override {
    *n = static_cast<uint32_t>(items.size());
    return S_OK;
  }
  HRESULT GetValueByIndex(uint32_t i, PROPVARIANT* schema, PROPVARIANT* id, PROPVARIANT* value) override {
    if (i == failAt) return E_FAIL;
    // Shallow copies: the fake keeps ownership, so nested readers get a reference each.
    *schema = items[i].schema;
    *id = items[i].id;
    *value = items[i].value;
    if (value->vt == VT_UNKNOWN) static_cast<CWicObject*>(value->punkVal)->AddRef();
    if (value->vt == kVtVariantVector) {
      auto* copy = static_cast<PROPVARIANT*>(KoMalloc(value->ca.cElems * sizeof(PROPVARIANT)));
      std::memcpy(copy, value->ca.pElems, value->ca.cElems * sizeof(PROPVARIANT));
      for (uint32_t k = 0; k < value->ca.cElems; ++k)
        if (copy[k].vt == VT_UNKNOWN) static_cast<CWicObject*>(copy[k].punkVal)->AddRef();
      value->ca.pElems = copy;
    }
    if (id->vt == VT_LPWSTR) id->pwszVal = Dup(id->pwszVal);
    return S_OK;
  }
  void Add(uint16_t idType, uint32_t idValue, PROPVARIANT value, uint16_t schemaType = VT_EMPTY) {
    Item it;
    it.schema.vt = schemaType;
    it.id.vt = idType;
    it.id.ulVal = idValue;
    it.value = value;
    items.push_back(it);
  }
  std::vector<Item> items;
  uint32_t failAt = UINT32_MAX;

 protected:
  ~CFakeReader() override {
    for (Item& it : items) {
      if (it.value.vt == VT_UNKNOWN) static_cast<CWicObject*>(it.value.punkVal)->Release();
      if (it.value.vt == kVtVariantVector) {
        auto* e = static_cast<PROPVARIANT*>(it.value.ca.pElems);
        for (uint32_t k = 0; k < it.value.ca.cElems; ++k)
          if (e[k].vt == VT_UNKNOWN) static_cast<CWicObject*>(e[k].punkVal)->Release();
        KoFree(e);
      }
    }
  }

 private:
  static char16_t* Dup(const char16_t* s) {
    size_t n = 0;
    while (s[n]) ++n;
    auto* d = static_cast<char16_t*>(KoMalloc((n + 1) * 2));
    std::memcpy(d, s, (n + 1) * 2);
    return d;
  }
};

PROPVARIANT U4(uint32_t v) {
  PROPVARIANT p{};
  p.vt = VT_UI4;
  p.ulVal = v;
  return p;
}
PROPVARIANT Unknown(CWicObject* o) {
  PROPVARIANT p{};
  p.vt = VT_UNKNOWN;
  p.punkVal = o;
  return p;
}

// Something that is no metadata reader.
class CNotAReader : public CWicObject {};

TEST(DngMetadata, ConvertsItemsByIdentifierAndSkipsWhatItCannotStore) {
  CWicRef<CFakeReader> leaf(CFakeReader::New());
  leaf->Add(VT_UI2, 7, U4(70));
  CWicRef<CFakeReader> top(CFakeReader::New());
  top->Add(VT_UI2, 256, U4(640));
  top->Add(VT_UI4, 70000, U4(1));
  top->Add(VT_UI2, 300, U4(2), VT_UI4);  // a schema: skipped
  top->Add(VT_I4, 301, U4(3));           // an identifier of another type: skipped
  PROPVARIANT f{};
  f.vt = VT_BLOB | VT_VECTOR;            // no property kind: skipped
  top->Add(VT_UI2, 302, f);
  leaf->AddRef();
  top->Add(VT_UI2, 34665, Unknown(leaf.Get()));
  top->Add(VT_UI2, 303, Unknown(new CNotAReader));  // a nested object that is no reader
  static char16_t name[] = u"Make";
  {
    CFakeReader::Item it;
    it.id.vt = VT_LPWSTR;
    it.id.pwszVal = name;
    it.value = U4(9);
    top->items.push_back(it);
  }
  // A vector of variants: readers kept, other elements left out.
  auto* elems = static_cast<PROPVARIANT*>(KoCalloc(3 * sizeof(PROPVARIANT)));
  leaf->AddRef();
  elems[0] = Unknown(leaf.Get());
  elems[1] = U4(5);
  leaf->AddRef();
  elems[2] = Unknown(leaf.Get());
  PROPVARIANT vec{};
  vec.vt = kVtVariantVector;
  vec.ca.cElems = 3;
  vec.ca.pElems = elems;
  top->Add(VT_UI2, 330, vec);
  auto* none = static_cast<PROPVARIANT*>(KoCalloc(sizeof(PROPVARIANT)));
  none[0] = U4(5);
  PROPVARIANT noReaders{};
  noReaders.vt = kVtVariantVector;
  noReaders.ca.cElems = 1;
  noReaders.ca.pElems = none;
  top->Add(VT_UI2, 331, noReaders);

  CParams out;
  ASSERT_EQ(ConvertMetadataToParams(top.Get(), &out), S_OK);
  const CParamValue* v = nullptr;
  ASSERT_EQ(out.GetById(&v, 256, 0), S_OK);
  uint32_t x = 0;
  ASSERT_EQ(v->GetAs(kParamUInt32, &x, 0, 1), S_OK);
  EXPECT_EQ(x, 640u);
  EXPECT_EQ(out.GetById(&v, 70000, 0), S_OK);
  EXPECT_EQ(out.GetById(&v, 300, 0), S_FALSE);
  EXPECT_EQ(out.GetById(&v, 301, 0), S_FALSE);
  EXPECT_EQ(out.GetById(&v, 302, 0), S_FALSE);
  EXPECT_EQ(out.GetById(&v, 303, 0), S_FALSE);
  EXPECT_EQ(out.GetById(&v, 331, 0), S_FALSE);
  ASSERT_EQ(out.GetByName(&v, u"Make", 0), S_OK);
  ASSERT_EQ(out.GetById(&v, 34665, 0), S_OK);
  ASSERT_EQ(v->kind, kParamNested);
  ASSERT_EQ(v->ElementCount(), 1u);
  EXPECT_EQ(v->NestedSets()[0].GetById(&v, 7, 0), S_OK);
  ASSERT_EQ(out.GetById(&v, 330, 0), S_OK);
  ASSERT_EQ(v->kind, kParamNested);
  EXPECT_EQ(v->ElementCount(), 2u);
  EXPECT_EQ(out.entryCount, 5);
}

TEST(DngMetadata, AFailingItemEndsTheConversion) {
  CWicRef<CFakeReader> top(CFakeReader::New());
  top->Add(VT_UI2, 1, U4(1));
  top->Add(VT_UI2, 2, U4(2));
  top->failAt = 1;
  CParams out;
  EXPECT_EQ(ConvertMetadataToParams(top.Get(), &out), E_FAIL);
  CNotAReader* other = new CNotAReader;
  EXPECT_EQ(ConvertMetadataToParams(other, &out), E_NOINTERFACE);
  other->Release();
}

TEST(DngMetadata, TiffDirectoriesBecomeNestedPropertySets) {
  test::DngBuilder dng(4, 4, std::vector<uint16_t>(16, 100));
  dng.Ifd0().Rational(50714, {3, 7});
  const std::vector<uint8_t> bytes = dng.Bytes();
  void* p = nullptr;
  ASSERT_EQ(CoCreateWicInstance(kClsidWicImagingFactory, nullptr, 1, kIidWicComponentFactory, &p), S_OK);
  CWicRef<CWicComponentFactory> factory(static_cast<CWicComponentFactory*>(p));
  CWicRef<CWicStream> stream;
  ASSERT_EQ(factory->CreateStream(stream.Out()), S_OK);
  ASSERT_EQ(stream->InitializeFromMemory(bytes.data(), bytes.size()), S_OK);
  ASSERT_EQ(stream->Seek(bytes[4] | (bytes[5] << 8) | (bytes[6] << 16), 0, nullptr), S_OK);
  CWicRef<CWicMetadataReader> reader;
  ASSERT_EQ(factory->CreateMetadataReader(kWicMetadataFormatIfd, nullptr, 0, stream.Get(), reader.Out()), S_OK);
  CParams set;
  ASSERT_EQ(ConvertMetadataToParams(reader.Get(), &set), S_OK);
  const CParamValue* v = nullptr;
  ASSERT_EQ(set.GetById(&v, 50714, 0), S_OK);
  EXPECT_EQ(v->kind, kParamUInt64);  // rationals arrive packed
  uint32_t pair[2] = {};
  ASSERT_EQ(v->GetAs(kParamRational, pair, 0, 1), S_OK);
  EXPECT_EQ(pair[0], 3u);
  EXPECT_EQ(pair[1], 7u);
  ASSERT_EQ(set.GetById(&v, 50721, 0), S_OK);
  EXPECT_EQ(v->kind, kParamInt64);
  EXPECT_EQ(v->ElementCount(), 9u);
  ASSERT_EQ(set.GetById(&v, 330, 0), S_OK);
  ASSERT_EQ(v->kind, kParamNested);
  ASSERT_EQ(v->ElementCount(), 1u);
  const CParams& raw = v->NestedSets()[0];
  ASSERT_EQ(raw.GetById(&v, 33422, 0), S_OK);
  EXPECT_EQ(v->kind, kParamUInt8);
  EXPECT_EQ(v->ElementCount(), 4u);
}

}  // namespace
}  // namespace ko
