// The cached directory: one walk's findings, kept true by every change the driver makes.
#include "drivers/fs/fat32_dir_cache.hpp"

#include "cpu/buffer.hpp"
#include "cpu/mem.hpp"
#include "drivers/fs/cp437.hpp"
#include "drivers/fs/fat32_fat.hpp"
#include "io/iotools.hpp"

namespace tavix {

namespace {

// FNV-1a over the upper-case form: names equal but for case hash alike.
constexpr uint32_t fnv_offset_basis = 2166136261u;
constexpr uint32_t fnv_prime = 16777619u;

uint32_t name_hash(const char* name)
{
    uint32_t hash = fnv_offset_basis;
    for (; *name; ++name) {
        hash ^= cp437_toupper(static_cast<uint8_t>(*name));
        hash *= fnv_prime;
    }
    return hash;
}

// The chain index of `cluster`, or no_cluster when it is not in the cached chain.
uint32_t chain_index_of(const dir_cache* cache, uint32_t cluster)
{
    for (uint32_t i = 0; i < cache->clusters; ++i)
        if (cache->chain[i] == cluster)
            return i;
    return no_cluster;
}

// Only a directory of at most fat32_max_dir_slots slots is kept past the creation that walked it.
bool is_kept(const dir_cache* cache)
{
    return cache->chain != nullptr && cache->clusters * cache->slots_per_cluster <= fat32_max_dir_slots;
}

// Room for one more cluster in the chain and its slots.
bool grow_chain(dir_cache* cache)
{
    if (cache->clusters < cache->chain_capacity)
        return true;
    uint32_t capacity = cache->chain_capacity * 2;
    void* chain = krealloc(cache->chain, capacity * sizeof(uint32_t));
    if (!chain)
        return false;
    cache->chain = static_cast<uint32_t*>(chain);
    void* slots = krealloc(cache->slots, capacity * cache->slots_per_cluster * sizeof(cached_slot));
    if (!slots)
        return false;
    cache->slots = static_cast<cached_slot*>(slots);
    cache->chain_capacity = capacity;
    return true;
}

void set_slots(dir_cache* cache, uint32_t first, uint32_t count, cached_slot state)
{
    for (uint32_t s = first; s < first + count; ++s)
        cache->slots[s] = state;
}

void remove_name_at(dir_cache* cache, uint32_t slot)
{
    for (uint32_t i = 0; i < cache->name_count; ++i) {
        if (cache->names[i].slot != slot)
            continue;
        // Order does not matter to the name checks: the last name fills the gap.
        uint32_t last = --cache->name_count;
        cache->names[i] = cache->names[last];
        copy_bytes(cache->short_names + i * short_name_length, cache->short_names + last * short_name_length,
            short_name_length);
        return;
    }
}

} // namespace

dir_cache* dir_cache_start(f32* fs, uint32_t first_cluster, uint32_t clusters)
{
    auto* cache = static_cast<dir_cache*>(malloc(sizeof(dir_cache)));
    if (!cache)
        return nullptr;
    memset(cache, 0, sizeof(dir_cache));
    cache->first_cluster = first_cluster;
    cache->slots_per_cluster = fs->cluster_size / fat32_dir_entry_size;
    if (clusters == 0)
        return cache;
    cache->chain = static_cast<uint32_t*>(malloc(clusters * sizeof(uint32_t)));
    cache->slots = static_cast<cached_slot*>(malloc(clusters * cache->slots_per_cluster * sizeof(cached_slot)));
    if (!cache->chain || !cache->slots) {
        dir_cache_free(cache);
        return nullptr;
    }
    // The walk that follows has already loaded the FAT entries of this chain.
    uint32_t cluster = first_cluster;
    for (uint32_t i = 0; i < clusters; ++i) {
        cache->chain[i] = cluster;
        cluster = get_next_cluster_id(fs, cluster);
    }
    cache->clusters = cache->chain_capacity = clusters;
    set_slots(cache, 0, clusters * cache->slots_per_cluster, cached_slot::in_use);
    return cache;
}

void dir_cache_free_slot(dir_cache* cache, uint32_t slot, cached_slot state)
{
    if (cache->chain && slot < cache->clusters * cache->slots_per_cluster)
        cache->slots[slot] = state;
}

bool dir_cache_add_name(dir_cache* cache, uint32_t slot, const uint8_t* short_name, const char* name)
{
    if (cache->name_count == cache->name_capacity) {
        uint32_t capacity = cache->name_capacity * 2 + cache->slots_per_cluster;
        void* names = krealloc(cache->names, capacity * sizeof(cached_name));
        if (!names)
            return false;
        cache->names = static_cast<cached_name*>(names);
        void* shorts = krealloc(cache->short_names, capacity * short_name_length);
        if (!shorts)
            return false;
        cache->short_names = static_cast<uint8_t*>(shorts);
        cache->name_capacity = capacity;
    }
    char short_text[short_name_text_size];
    short_name_text(short_name, short_text);
    uint32_t at = cache->name_count++;
    cache->names[at] = cached_name{slot, name_hash(name), name_hash(short_text)};
    copy_bytes(cache->short_names + at * short_name_length, short_name, short_name_length);
    return true;
}

void dir_cache_free(dir_cache* cache)
{
    if (!cache)
        return;
    mfree(cache->chain);
    mfree(cache->slots);
    mfree(cache->short_names);
    mfree(cache->names);
    mfree(cache);
}

void dir_cache_install(f32* fs, dir_cache* cache)
{
    if (!is_kept(cache)) {
        dir_cache_free(cache);
        return;
    }
    dir_cache_forget(fs);
    fs->cached_dir = cache;
}

void dir_cache_forget(f32* fs)
{
    dir_cache_free(fs->cached_dir);
    fs->cached_dir = nullptr;
}

dir_cache* dir_cache_for(f32* fs, uint32_t dir_cluster)
{
    dir_cache* cache = fs->cached_dir;
    return cache && cache->first_cluster == resolve_dir_cluster(fs, dir_cluster) ? cache : nullptr;
}

bool dir_cache_may_hold(const dir_cache* cache, const char* name)
{
    uint32_t hash = name_hash(name);
    for (uint32_t i = 0; i < cache->name_count; ++i)
        if (cache->names[i].long_hash == hash || cache->names[i].short_hash == hash)
            return true;
    return false;
}

free_slot_finder dir_cache_find_free_slots(const dir_cache* cache, uint32_t count)
{
    free_slot_finder finder{count};
    for (uint32_t c = 0; c < cache->clusters; ++c) {
        const cached_slot* slots = cache->slots + c * cache->slots_per_cluster;
        for (uint32_t i = 0; i < cache->slots_per_cluster; ++i)
            if (slots[i] != cached_slot::in_use && finder.take(c, i, slots[i] != cached_slot::deleted))
                return finder;
    }
    finder.finish();
    return finder;
}

void dir_cache_note_created(f32* fs, uint32_t dir_cluster, const created_entry& created)
{
    dir_cache* cache = dir_cache_for(fs, dir_cluster);
    if (!cache)
        return;
    const uint32_t per_cluster = cache->slots_per_cluster;
    if (created.sealed != 0) {
        uint32_t sealed = chain_index_of(cache, created.sealed);
        for (uint32_t s = 0; sealed != no_cluster && s < per_cluster; ++s)
            if (cache->slots[sealed * per_cluster + s] != cached_slot::in_use)
                cache->slots[sealed * per_cluster + s] = cached_slot::deleted;
    }
    if (created.grown != 0) {
        if (!grow_chain(cache)) {
            dir_cache_forget(fs);
            return;
        }
        cache->chain[cache->clusters] = created.grown;
        set_slots(cache, cache->clusters * per_cluster, per_cluster, cached_slot::never_used);
        ++cache->clusters;
    }
    uint32_t c = chain_index_of(cache, created.cluster);
    if (c == no_cluster) {
        dir_cache_forget(fs);
        return;
    }
    uint32_t first = c * per_cluster + created.index;
    set_slots(cache, first, created.count, cached_slot::in_use);
    uint32_t after = first + created.count;
    if (after < cache->clusters * per_cluster && cache->slots[after] == cached_slot::stale)
        cache->slots[after] = cached_slot::never_used;
    if (!dir_cache_add_name(cache, first + created.count - 1, created.short_name, created.name))
        dir_cache_forget(fs);
}

void dir_cache_note_deleted(f32* fs, uint32_t dir_cluster, uint32_t first_cluster, uint32_t first_index,
    uint32_t last_cluster, uint32_t last_index)
{
    dir_cache* cache = dir_cache_for(fs, dir_cluster);
    if (!cache)
        return;
    uint32_t first = chain_index_of(cache, first_cluster);
    uint32_t last = chain_index_of(cache, last_cluster);
    if (first == no_cluster || last == no_cluster || last < first) {
        dir_cache_forget(fs);
        return;
    }
    uint32_t from = first * cache->slots_per_cluster + first_index;
    uint32_t to = last * cache->slots_per_cluster + last_index;
    set_slots(cache, from, to + 1 - from, cached_slot::deleted);
    remove_name_at(cache, to);
}

} // namespace tavix
