"""Reads an .xls file and prints, as JSON, what the workbook tests check.

Usage: xlsdump.py FILE [DIGEST_OVER]

The compound document and the cells, fonts, formats and column widths are read
by xlrd. xlrd keeps neither the page setup nor the header and footer nor the
workbook window, so those come from the records of the Workbook stream that
xlrd's compound-document reader extracts. Texts longer than DIGEST_OVER
characters are given as "sha1:" and the SHA-1 of their UTF-8 bytes.
"""
import hashlib
import io
import json
import struct
import sys

import xlrd
from xlrd import compdoc

FREESECT, ENDOFCHAIN, FATSECT, DIFSECT = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD, 0xFFFFFFFC


def records(mem, pos):
    """(id, data) of the records from pos up to and including EOF."""
    while pos + 4 <= len(mem):
        rid, size = struct.unpack_from('<HH', mem, pos)
        yield rid, mem[pos + 4:pos + 4 + size]
        pos += 4 + size
        if rid == 0x000A:
            return
    raise ValueError('substream without EOF')


def unicode_string(data, count_bytes):
    count = data[0] if count_bytes == 1 else struct.unpack_from('<H', data)[0]
    flags = data[count_bytes]
    chars = data[count_bytes + 1:]
    if flags & 1:
        return chars[:2 * count].decode('utf_16_le')
    return chars[:count].decode('latin_1')


def container(data):
    """Header numbers and a check of the sector marks in the allocation table."""
    (fat_count, dir_start, _, cutoff, minifat_start, minifat_count,
     difat_start, difat_count) = struct.unpack_from('<8I', data, 44)
    major, = struct.unpack_from('<H', data, 26)
    shift, = struct.unpack_from('<H', data, 30)
    size = 1 << shift
    fat_ids = list(struct.unpack_from('<109I', data, 76))
    sid = difat_start
    difat_ids = []
    while sid not in (ENDOFCHAIN, FREESECT):
        difat_ids.append(sid)
        entries = struct.unpack_from('<%dI' % (size // 4), data, 512 + sid * size)
        fat_ids.extend(entries[:-1])
        sid = entries[-1]
    fat_ids = [s for s in fat_ids if s != FREESECT]
    fat = []
    for s in fat_ids:
        fat.extend(struct.unpack_from('<%dI' % (size // 4), data, 512 + s * size))
    marks_ok = (all(fat[s] == FATSECT for s in fat_ids)
                and all(fat[s] == DIFSECT for s in difat_ids)
                and fat.count(FATSECT) == len(fat_ids)
                and fat.count(DIFSECT) == len(difat_ids))
    return {
        'major_version': major, 'sector_size': size, 'fat_sectors': fat_count,
        'fat_sectors_listed': len(fat_ids), 'difat_sectors': difat_count,
        'difat_sectors_chained': len(difat_ids), 'marks_ok': marks_ok,
        'file_sectors': (len(data) - 512) / size, 'mini_fat_sectors': minifat_count,
    }


def shared_string_layout(mem, pos):
    """Walks the SST record at pos and its CONTINUE records. Tells whether every
    string keeps its count, flags and first character in one record, and whether
    the EXTSST index that follows points at the starts of its strings."""
    pieces = []
    while True:
        rid, size = struct.unpack_from('<HH', mem, pos)
        if pieces and rid != 0x003C:
            break
        pieces.append((pos, mem[pos + 4:pos + 4 + size]))
        pos += 4 + size
    if rid != 0x00FF:
        return {'index_ok': False, 'first_char_kept': False}
    unique = struct.unpack_from('<I', pieces[0][1], 4)[0]
    starts = []
    first_char_kept = True
    piece, off = 0, 8
    for _ in range(unique):
        if off >= len(pieces[piece][1]):
            piece, off = piece + 1, 0
        start, data = pieces[piece]
        starts.append((start + 4 + off, 4 + off))
        count, flags = struct.unpack_from('<HB', data, off)
        off += 3
        width = 2 if flags & 1 else 1
        left = count
        while True:
            take = min(left, (len(data) - off) // width)
            if take == 0 and left == count and count > 0:
                first_char_kept = False
            off += take * width
            left -= take
            if left == 0:
                break
            piece += 1
            start, data = pieces[piece]
            width = 2 if data[0] & 1 else 1
            off = 1
    ext = mem[pos + 4:pos + 4 + struct.unpack_from('<H', mem, pos + 2)[0]]
    per_bucket = struct.unpack_from('<H', ext)[0]
    index = [struct.unpack_from('<IH', ext, 2 + 8 * i) for i in range((len(ext) - 2) // 8)]
    return {'index_ok': per_bucket >= 8 and index == starts[::per_bucket],
            'first_char_kept': first_char_kept}


def sheet_records(mem, pos):
    info = {'margins': {}}
    margin_names = {0x26: 'left', 0x27: 'right', 0x28: 'top', 0x29: 'bottom'}
    for rid, data in records(mem, pos):
        if rid == 0x0014:
            info['header'] = unicode_string(data, 2) if data else ''
        elif rid == 0x0015:
            info['footer'] = unicode_string(data, 2) if data else ''
        elif rid in (0x0083, 0x0084):
            info.setdefault('centred', {})['horizontal' if rid == 0x0083 else 'vertical'] = \
                bool(struct.unpack('<H', data)[0])
        elif rid in margin_names:
            info['margins'][margin_names[rid]] = struct.unpack('<d', data)[0]
        elif rid == 0x00A1:
            paper, scale, _, _, _, flags, _, _, hdr, ftr, _ = struct.unpack('<6H2H2dH', data)
            info['setup'] = {'paper': paper, 'scale': scale, 'portrait': bool(flags & 2),
                             'settings_valid': not flags & 4, 'header_margin': hdr,
                             'footer_margin': ftr}
        elif rid == 0x0225:
            info['row_height_set'] = bool(struct.unpack_from('<H', data)[0] & 1)
        elif rid == 0x0200:
            info['dimensions'] = list(struct.unpack('<IIHH', data[:12]))
    return info


def main():
    path = sys.argv[1]
    digest_over = int(sys.argv[2]) if len(sys.argv) > 2 else 1 << 30
    data = open(path, 'rb').read()

    def text(value):
        if len(value) > digest_over:
            return 'sha1:' + hashlib.sha1(value.encode('utf-8')).hexdigest()
        return value

    cd_log = io.StringIO()
    mem = compdoc.CompDoc(data, logfile=cd_log).get_named_stream('Workbook')

    # Globals: window, sheet positions, record sizes and SST continuations.
    out = {'container': container(data)}
    positions = []
    largest = 0
    continues = 0
    previous = None
    pos = 0
    while True:
        rid, size = struct.unpack_from('<HH', mem, pos)
        body = mem[pos + 4:pos + 4 + size]
        largest = max(largest, size)
        if rid == 0x003D:
            out['window1'] = dict(zip(('active', 'first_tab', 'selected_tabs'),
                                      struct.unpack_from('<3H', body, 10)))
        elif rid == 0x0085:
            positions.append(struct.unpack_from('<I', body)[0])
        elif rid == 0x00FC:
            out['sst_total'], out['sst_unique'] = struct.unpack_from('<II', body)
            out['sst_layout'] = shared_string_layout(mem, pos)
        elif rid == 0x0042:
            out['codepage'] = struct.unpack('<H', body)[0]
        elif rid == 0x003C and previous in (0x00FC, 0x003C):
            continues += 1
            rid = previous
        previous = rid
        pos += 4 + size
        if rid == 0x000A:
            break
    for start in positions:
        p = start
        while True:
            rid, size = struct.unpack_from('<HH', mem, p)
            largest = max(largest, size)
            p += 4 + size
            if rid == 0x000A:
                break
    out['largest_record'] = largest
    out['sst_continues'] = continues

    xl_log = io.StringIO()
    book = xlrd.open_workbook(file_contents=data, formatting_info=True,
                              ragged_rows=True, logfile=xl_log)
    out['log'] = cd_log.getvalue() + xl_log.getvalue()
    font = book.font_list[0]
    out['font'] = {'name': font.name, 'height': font.height, 'weight': font.weight,
                   'italic': bool(font.italic), 'charset': font.character_set}
    out['xfs'] = len(book.xf_list)
    out['style_xfs'] = sum(1 for xf in book.xf_list if xf.is_style)
    # Border line styles (left, right, top, bottom, diagonal) and fill pattern, each
    # combination once.
    out['xf_borders'] = sorted({(xf.border.left_line_style, xf.border.right_line_style,
                                 xf.border.top_line_style, xf.border.bottom_line_style,
                                 xf.border.diag_line_style, xf.background.fill_pattern)
                                for xf in book.xf_list})
    out['styles'] = {name: list(value) for name, value in book.style_name_map.items()}
    out['sheets'] = []
    for index, sheet in enumerate(book.sheets()):
        info = sheet_records(mem, positions[index])
        info['name'] = sheet.name
        info['selected'] = bool(sheet.sheet_selected)
        info['visible'] = bool(sheet.sheet_visible)
        info['column_widths'] = sorted({sheet.computed_column_width(c) for c in range(256)})
        info['hidden_columns'] = sum(1 for c in sheet.colinfo_map.values() if c.hidden)
        info['shows'] = {'grid': bool(sheet.show_grid_lines), 'headings': bool(sheet.show_sheet_headers),
                         'zeros': bool(sheet.show_zero_values), 'formulas': bool(sheet.show_formulas)}
        info['default_row_height'] = sheet.default_row_height
        info['zoom'] = {'page_break_preview': sheet.cached_page_break_preview_mag_factor,
                        'normal': sheet.cached_normal_view_mag_factor}
        info['nrows'] = sheet.nrows
        info['ncols'] = sheet.ncols
        # Cells that are not empty, as [row, column, kind, value], both counted from 0.
        kinds = {xlrd.XL_CELL_TEXT: 'text', xlrd.XL_CELL_NUMBER: 'number'}
        cells = []
        for r in range(sheet.nrows):
            for c in range(sheet.row_len(r)):
                cell = sheet.cell(r, c)
                if cell.ctype == xlrd.XL_CELL_EMPTY:
                    continue
                kind = kinds.get(cell.ctype, 'other')
                cells.append([r, c, kind, text(cell.value) if kind == 'text' else cell.value])
                xf = book.xf_list[sheet.cell_xf_index(r, c)]
                if xf.font_index != 0 or xf.format_key != 0:
                    out['log'] += 'cell %d,%d: not in the default format\n' % (r, c)
        info['cells'] = cells
        out['sheets'].append(info)
    json.dump(out, sys.stdout, ensure_ascii=False)


if __name__ == '__main__':
    main()
