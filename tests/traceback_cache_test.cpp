// The code-object table behind traceback entries, and the entries themselves, driven directly
// in an embedded interpreter with slots of the test's own.
#include "pkg/ext_traceback.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

PyObject* runtime_module = nullptr;
PyObject* setting_name = nullptr;
PyObject* globals = nullptr;
PyObject* empty_tuple = nullptr;
PyObject* empty_bytes = nullptr;

const Ext_TracebackContext context = {&runtime_module, &setting_name, &globals,
                                      &empty_tuple,    &empty_bytes,  "src/impl.cpp"};

// The one entry that Ext_AddTraceback put on a pending exception, as the traceback shows it.
struct Entry {
  ext::Ref code;
  std::string name;
  std::string file;
  int line = 0;
};

std::string text_of(PyObject* string) {
  return PyUnicode_AsUTF8(string);
}

// The innermost traceback entry's code object and line, read as Python code reads them.
Entry entry_of(PyObject* traceback) {
  Entry entry;
  ext::Ref next = ext::Ref::steal(PyObject_GetAttrString(traceback, "tb_next"));
  EXPECT_EQ(next.get(), Py_None);
  ext::Ref frame = ext::Ref::steal(PyObject_GetAttrString(traceback, "tb_frame"));
  entry.code = ext::Ref::steal(PyObject_GetAttrString(frame.get(), "f_code"));
  ext::Ref name = ext::Ref::steal(PyObject_GetAttrString(entry.code.get(), "co_name"));
  ext::Ref file = ext::Ref::steal(PyObject_GetAttrString(entry.code.get(), "co_filename"));
  ext::Ref line = ext::Ref::steal(PyObject_GetAttrString(traceback, "tb_lineno"));
  entry.name = text_of(name.get());
  entry.file = text_of(file.get());
  entry.line = static_cast<int>(PyLong_AsLong(line.get()));
  return entry;
}

Entry add_entry(const char* funcname, int c_line, int py_line, const char* filename = "m.pyi") {
  PyErr_SetString(PyExc_ValueError, "failed");
  Ext_AddTraceback(context, funcname, c_line, py_line, filename);
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  EXPECT_EQ(type, PyExc_ValueError);
  EXPECT_NE(traceback, nullptr);
  Entry entry = traceback ? entry_of(traceback) : Entry();
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  return entry;
}

std::vector<int> cached_keys() {
  std::vector<int> keys;
  for (int i = 0; i < ext_code_cache.count; ++i)
    keys.push_back(ext_code_cache.entries[i].code_line);
  return keys;
}

ext::Ref new_code(const char* name) {
  return ext::Ref::steal(Ext_CreateCodeObjectForTraceback(context, name, 0, 1, "m.pyi"));
}

// Evaluates a Python expression, with `globals` as its namespace.
ext::Ref eval(const char* code, int mode = Py_eval_input) {
  ext::Ref result = ext::Ref::steal(PyRun_String(code, mode, globals, globals));
  if (!result) PyErr_Print();
  return result;
}

// Refuses every request of the PyMem_* domain while armed, and counts the refusals.
class FailingMemAllocator {
 public:
  FailingMemAllocator() {
    PyMem_GetAllocator(PYMEM_DOMAIN_MEM, &original_);
    PyMemAllocatorEx hook = {this, &FailingMemAllocator::malloc, &FailingMemAllocator::calloc,
                             &FailingMemAllocator::realloc, &FailingMemAllocator::free};
    PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &hook);
  }
  ~FailingMemAllocator() { PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &original_); }
  FailingMemAllocator(const FailingMemAllocator&) = delete;
  FailingMemAllocator& operator=(const FailingMemAllocator&) = delete;

  bool armed = true;
  int refused = 0;

 private:
  static FailingMemAllocator& self(void* ctx) { return *static_cast<FailingMemAllocator*>(ctx); }
  bool refuse() { return armed && ++refused; }
  static void* malloc(void* ctx, size_t size) {
    if (self(ctx).refuse()) return nullptr;
    return self(ctx).original_.malloc(self(ctx).original_.ctx, size);
  }
  static void* calloc(void* ctx, size_t count, size_t size) {
    if (self(ctx).refuse()) return nullptr;
    return self(ctx).original_.calloc(self(ctx).original_.ctx, count, size);
  }
  static void* realloc(void* ctx, void* block, size_t size) {
    if (self(ctx).refuse()) return nullptr;
    return self(ctx).original_.realloc(self(ctx).original_.ctx, block, size);
  }
  static void free(void* ctx, void* block) {
    self(ctx).original_.free(self(ctx).original_.ctx, block);
  }

  PyMemAllocatorEx original_;
};

class TracebackCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The table is never freed in the module; each test starts from an empty one here.
    for (int i = 0; i < ext_code_cache.count; ++i) Py_DECREF(ext_code_cache.entries[i].code_object);
    PyMem_Free(ext_code_cache.entries);
    ext_code_cache = Ext_CodeObjectCache{0, 0, nullptr};

    Py_XSETREF(runtime_module, PyModule_New("runtime_for_test"));
    Py_XSETREF(setting_name, PyUnicode_InternFromString("cline_in_traceback"));
    PyObject_Hash(setting_name);
    Py_XSETREF(globals, PyDict_New());
    // As in a module's dictionary: later interpreters read both names when they make a frame.
    ext::Ref module_name = ext::Ref::steal(PyUnicode_FromString("traceback_cache_test"));
    PyDict_SetItemString(globals, "__name__", module_name.get());
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    Py_XSETREF(empty_tuple, PyTuple_New(0));
    Py_XSETREF(empty_bytes, PyBytes_FromStringAndSize("", 0));
    ASSERT_TRUE(runtime_module && setting_name && globals && empty_tuple && empty_bytes);
    set_setting(Py_False);
  }
  void TearDown() override { ASSERT_FALSE(PyErr_Occurred()); }

  void set_setting(PyObject* value) {
    ASSERT_EQ(PyObject_SetAttr(runtime_module, setting_name, value), 0);
  }
};

TEST_F(TracebackCacheTest, BisectionFindsKeysAndInsertionPoints) {
  PyObject* none = Py_None;
  const Ext_CodeObjectCacheEntry four[] = {{none, -5}, {none, 3}, {none, 8}, {none, 20}};
  const struct {
    int key;
    int position;
  } cases[] = {{-10, 0}, {-5, 0}, {-4, 1}, {0, 1},  {3, 1},      {4, 2},
               {8, 2},   {9, 3},  {20, 3}, {21, 4}, {1 << 30, 4}};
  for (const auto& c : cases) {
    EXPECT_EQ(ext_bisect_code_objects(four, 4, c.key), c.position) << "key " << c.key;
  }
  const Ext_CodeObjectCacheEntry one[] = {{none, 7}};
  EXPECT_EQ(ext_bisect_code_objects(one, 1, -7), 0);
  EXPECT_EQ(ext_bisect_code_objects(one, 1, 6), 0);
  EXPECT_EQ(ext_bisect_code_objects(one, 1, 7), 0);
  EXPECT_EQ(ext_bisect_code_objects(one, 1, 8), 1);
}

TEST_F(TracebackCacheTest, InsertionsKeepKeysAscendingAndFindable) {
  ext::Ref code = new_code("f");
  ASSERT_TRUE(code);
  const Py_ssize_t references = Py_REFCNT(code.get());
  std::vector<int> expected;
  for (int key = 30; key >= 1; --key) {
    ext_insert_code_object(key, code.get());
    ext_insert_code_object(-key, code.get());
  }
  ext_insert_code_object(0, code.get());  // never stored
  for (int key = -30; key <= 30; ++key) {
    if (key) expected.push_back(key);
  }
  EXPECT_EQ(cached_keys(), expected);
  EXPECT_EQ(ext_code_cache.max_count, 64);
  EXPECT_EQ(Py_REFCNT(code.get()), references + 60);
  for (int key : {-30, -1, 1, 17, 30}) {
    ext::Ref found = ext::Ref::steal(ext_find_code_object(key));
    EXPECT_EQ(found.get(), code.get()) << "key " << key;
  }
  EXPECT_EQ(Py_REFCNT(code.get()), references + 60);
  for (int key : {-31, 0, 31}) EXPECT_EQ(ext_find_code_object(key), nullptr) << "key " << key;
}

TEST_F(TracebackCacheTest, ReplacementKeepsCountAndMovesTheReference) {
  ext::Ref first = new_code("first");
  ext::Ref second = new_code("second");
  for (int key : {5, 1, 9}) ext_insert_code_object(key, first.get());
  const Py_ssize_t first_references = Py_REFCNT(first.get());
  const Py_ssize_t second_references = Py_REFCNT(second.get());
  ext_insert_code_object(5, second.get());
  EXPECT_EQ(cached_keys(), (std::vector<int>{1, 5, 9}));
  EXPECT_EQ(ext_code_cache.entries[1].code_object, second.get());
  EXPECT_EQ(Py_REFCNT(first.get()), first_references - 1);
  EXPECT_EQ(Py_REFCNT(second.get()), second_references + 1);
}

TEST_F(TracebackCacheTest, TableGrowsBy64AtThe65thKey) {
  ext::Ref code = new_code("f");
  for (int key = 1; key <= 64; ++key) ext_insert_code_object(key * 2, code.get());
  EXPECT_EQ(ext_code_cache.count, 64);
  EXPECT_EQ(ext_code_cache.max_count, 64);
  ext_insert_code_object(3, code.get());
  EXPECT_EQ(ext_code_cache.count, 65);
  EXPECT_EQ(ext_code_cache.max_count, 128);
  const std::vector<int> keys = cached_keys();
  EXPECT_EQ(keys[0], 2);
  EXPECT_EQ(keys[1], 3);
  EXPECT_EQ(keys[2], 4);
  EXPECT_EQ(keys.back(), 128);
}

TEST_F(TracebackCacheTest, EntryWithoutMemoryForTheTableIsStillAdded) {
  Entry missed;
  {
    FailingMemAllocator allocator;
    missed = add_entry("f", 0, 12);
    EXPECT_GT(allocator.refused, 0);
  }
  EXPECT_EQ(missed.name, "f");
  EXPECT_EQ(missed.line, 12);
  EXPECT_EQ(ext_code_cache.entries, nullptr);
  EXPECT_EQ(ext_code_cache.count, 0);
  EXPECT_EQ(ext_code_cache.max_count, 0);

  // A full table that cannot grow stays as it was.
  for (int key = 101; key <= 164; ++key) add_entry("f", 0, key);
  Ext_CodeObjectCacheEntry* const entries = ext_code_cache.entries;
  const std::vector<int> keys = cached_keys();
  ASSERT_EQ(keys.size(), 64u);
  {
    FailingMemAllocator allocator;
    missed = add_entry("f", 0, 12);
    EXPECT_GT(allocator.refused, 0);
  }
  EXPECT_EQ(missed.name, "f");
  EXPECT_EQ(missed.line, 12);
  EXPECT_EQ(ext_code_cache.entries, entries);
  EXPECT_EQ(ext_code_cache.max_count, 64);
  EXPECT_EQ(cached_keys(), keys);

  // Uncached, the code object is made afresh next time, and kept then.
  Entry kept = add_entry("f", 0, 12);
  EXPECT_NE(kept.code.get(), missed.code.get());
  EXPECT_EQ(ext_code_cache.count, 65);
  EXPECT_EQ(add_entry("f", 0, 12).code.get(), kept.code.get());
}

TEST_F(TracebackCacheTest, CacheHoldsOneReferenceOnceEntriesAreGone) {
  Entry entry = add_entry("f", 0, 7);
  PyObject* code = entry.code.get();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(add_entry("f", 0, 7).code.get(), code);
  entry.code.reset();
  ASSERT_EQ(ext_code_cache.count, 1);
  EXPECT_EQ(Py_REFCNT(code), 1);  // the exceptions, frames and tracebacks released theirs
}

TEST_F(TracebackCacheTest, SitesSharingAKeyEachGetTheirOwnCodeObject) {
  Entry add_first = add_entry("m.add", 0, 12);
  Entry add_again = add_entry("m.add", 0, 12);
  EXPECT_EQ(add_again.code.get(), add_first.code.get());

  Entry init = add_entry("init m", 0, 12);
  EXPECT_EQ(init.name, "init m");
  EXPECT_EQ(init.line, 12);
  EXPECT_NE(init.code.get(), add_first.code.get());
  EXPECT_EQ(cached_keys(), (std::vector<int>{12}));
  EXPECT_EQ(Py_REFCNT(add_first.code.get()), 2);  // the displaced one is no longer cached

  Entry other_file = add_entry("init m", 0, 12, "other.pyi");
  EXPECT_EQ(other_file.file, "other.pyi");
  EXPECT_NE(other_file.code.get(), init.code.get());
  EXPECT_EQ(add_entry("init m", 0, 12, "other.pyi").code.get(), other_file.code.get());
  EXPECT_EQ(cached_keys(), (std::vector<int>{12}));
}

TEST_F(TracebackCacheTest, LinesOfZeroAreNeverCached) {
  Entry first = add_entry("f", 0, 0);
  Entry second = add_entry("f", 0, 0);
  EXPECT_EQ(first.name, "f");
  EXPECT_EQ(first.line, 0);
  EXPECT_NE(first.code.get(), second.code.get());
  EXPECT_EQ(ext_code_cache.count, 0);
}

TEST_F(TracebackCacheTest, SettingDecidesTheNameAndTheKey) {
  const struct {
    const char* value;  // a Python expression; null deletes the setting
    const char* name;
  } cases[] = {
      {"True", "f (src/impl.cpp:42)"},
      {"1", "f (src/impl.cpp:42)"},
      {"'x'", "f (src/impl.cpp:42)"},
      {"[0]", "f (src/impl.cpp:42)"},
      {"False", "f"},
      {"0", "f"},
      {"''", "f"},
      {"None", "f"},
      {"[]", "f"},
      {nullptr, "f"},
  };
  for (const auto& c : cases) {
    if (c.value) {
      set_setting(eval(c.value).get());
    } else {
      ASSERT_EQ(PyObject_DelAttr(runtime_module, setting_name), 0);
    }
    Entry entry = add_entry("f", 42, 3);
    EXPECT_EQ(entry.name, c.name) << (c.value ? c.value : "deleted");
    EXPECT_EQ(entry.line, 3);
  }
  EXPECT_EQ(PyObject_GetAttr(runtime_module, setting_name), Py_False);
  Py_DECREF(Py_False);
  EXPECT_EQ(cached_keys(), (std::vector<int>{-42, 3}));
}

TEST_F(TracebackCacheTest, UnreadableSettingShowsTheLineAndCreatesNothing) {
  ASSERT_EQ(PyObject_DelAttr(runtime_module, setting_name), 0);
  PyObject* const held_module = runtime_module;
  runtime_module = nullptr;
  EXPECT_EQ(add_entry("init m", 9, 1).name, "init m (src/impl.cpp:9)");
  runtime_module = held_module;
  PyObject* const held_name = setting_name;
  setting_name = nullptr;
  EXPECT_EQ(add_entry("init m", 10, 1).name, "init m (src/impl.cpp:10)");
  setting_name = held_name;
  EXPECT_FALSE(PyObject_HasAttr(runtime_module, setting_name));
}

TEST_F(TracebackCacheTest, FailingTruthTestHidesTheLineAndKeepsTheException) {
  eval(
      "class Undecided:\n"
      "    calls = 0\n"
      "    def __bool__(self):\n"
      "        Undecided.calls += 1\n"
      "        raise KeyError('no answer')\n",
      Py_file_input);
  set_setting(eval("Undecided()").get());
  PyErr_SetString(PyExc_ValueError, "failed");
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyErr_Restore(type, value, traceback);
  Ext_AddTraceback(context, "f", 42, 3, "m.pyi");
  PyObject *after_type, *after_value, *after_traceback;
  PyErr_Fetch(&after_type, &after_value, &after_traceback);
  EXPECT_EQ(after_type, type);
  EXPECT_EQ(after_value, value);
  ASSERT_NE(after_traceback, nullptr);
  EXPECT_EQ(entry_of(after_traceback).name, "f");
  EXPECT_EQ(PyException_GetContext(after_value), nullptr);
  Py_XDECREF(after_type);
  Py_XDECREF(after_value);
  Py_XDECREF(after_traceback);
  EXPECT_EQ(PyLong_AsLong(eval("Undecided.calls").get()), 1);
}

// An object without an instance dictionary is asked through attribute lookup.
TEST_F(TracebackCacheTest, SettingOfAnObjectWithoutDictionary) {
  eval(
      "class Slotted:\n"
      "    __slots__ = ('cline_in_traceback',)\n",
      Py_file_input);
  ext::Ref slotted = eval("Slotted()");
  ASSERT_EQ(_PyObject_GetDictPtr(slotted.get()), nullptr);
  PyObject* const held_module = runtime_module;
  runtime_module = slotted.get();
  EXPECT_EQ(add_entry("f", 5, 1).name, "f");  // absent: set to False
  EXPECT_EQ(PyObject_GetAttr(slotted.get(), setting_name), Py_False);
  Py_DECREF(Py_False);
  ASSERT_EQ(PyObject_SetAttr(slotted.get(), setting_name, eval("[1]").get()), 0);
  EXPECT_EQ(add_entry("f", 5, 1).name, "f (src/impl.cpp:5)");
  ASSERT_EQ(PyObject_SetAttr(slotted.get(), setting_name, eval("''").get()), 0);
  EXPECT_EQ(add_entry("f", 5, 1).name, "f");
  runtime_module = held_module;
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  Py_InitializeEx(0);
  return RUN_ALL_TESTS();
}
