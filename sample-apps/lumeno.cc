// Lumeno, the image editor: one image with a stack of layers, filters and adjustments
// recorded per layer, a rectangular selection, undo, plug-ins that add tools, exports,
// and a slow preview render.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "apps.h"
#include "json/parse.h"

namespace brask::sample {
namespace {

struct Layer {
  unsigned id = 0;
  std::string name;
  std::string kind;  // raster, text, fill
  bool visible = true;
  double opacity = 100;
  std::string blend_mode = "normal";
  std::string content;               // the text of a text layer, the colour of a fill layer
  std::vector<std::string> effects;  // filters and adjustments, oldest first
};

Layer make_layer(unsigned id, std::string name, std::string kind) {
  Layer layer;
  layer.id = id;
  layer.name = std::move(name);
  layer.kind = std::move(kind);
  return layer;
}

struct Selection {
  long long x = 0, y = 0, width = 0, height = 0;  // width 0: nothing selected
};

struct Image {
  std::string title = "Untitled";
  long long width = 1920, height = 1080;
  std::vector<Layer> layers;  // bottom first
  unsigned next_layer_id = 1;
  Selection selection;
};

struct Lumeno {
  AppDefinition* app = nullptr;  // to add the tools of installed plug-ins
  std::weak_ptr<Lumeno> self;    // for binding plug-in tools; the tools own the document
  Image image;
  std::vector<Image> undo;  // snapshots before each change, newest last
  std::vector<JsonValue> exports;
  std::vector<std::string> plugins;
};

Image fresh_image(std::string title, long long width, long long height, std::string background) {
  Image image;
  image.title = std::move(title);
  image.width = width;
  image.height = height;
  Layer base = make_layer(image.next_layer_id++, "Background", "fill");
  base.content = std::move(background);
  image.layers.push_back(base);
  return image;
}

// Remembers the image as it is, so the change that follows can be undone.
void snapshot(Lumeno& doc) {
  remember(doc.undo, doc.image);
}

JsonValue layer_json(const Layer& layer, size_t position) {
  JsonArray effects;
  for (const std::string& e : layer.effects)
    effects.push_back(e);
  JsonObject o{{"id", layer.id},
               {"name", layer.name},
               {"kind", layer.kind},
               {"position", position + 1},
               {"visible", layer.visible},
               {"opacity", layer.opacity},
               {"blendMode", layer.blend_mode},
               {"effects", std::move(effects)}};
  if (!layer.content.empty())
    o.set(layer.kind == "text" ? "text" : "color", layer.content);
  return o;
}

// Finds a layer by its id ("3") or its name, ignoring case. Fails with a message that
// lists the layers, so the caller can correct itself.
Result<size_t> find_layer(const Image& image, const std::string& ref) {
  std::string wanted = lower(ref);
  for (size_t i = 0; i < image.layers.size(); ++i) {
    const Layer& l = image.layers[i];
    if (std::to_string(l.id) == ref || lower(l.name) == wanted)
      return i;
  }
  std::string names;
  for (const Layer& l : image.layers) {
    names += (names.empty() ? "" : ", ") + std::to_string(l.id) + " \"" + l.name + "\"";
  }
  return fail("no layer `" + ref + "`; the layers are " + names);
}

// Runs `change` on the layer named by the "layer" argument, with undo.
template <class F>
ToolOutput edit_layer(Lumeno& doc, const Args& args, F change) {
  auto index = find_layer(doc.image, args.string("layer"));
  if (!index.ok())
    return index.failure();
  snapshot(doc);
  Layer& layer = doc.image.layers[*index];
  std::string said = change(layer);
  return JsonValue(said);
}

template <class F>
ToolOutput add_effect(Lumeno& doc, const Args& args, F describe) {
  return edit_layer(doc, args, [&](Layer& layer) {
    std::string effect = describe();
    if (doc.image.selection.width > 0)
      effect += " (inside the selection)";
    layer.effects.push_back(effect);
    return "Applied " + effect + " to layer " + std::to_string(layer.id) + " \"" + layer.name +
           "\".";
  });
}

std::string layer_count(const Image& image) {
  size_t n = image.layers.size();
  return std::to_string(n) + (n == 1 ? " layer" : " layers");
}

ToolOutput new_image(Lumeno& doc, const Args& a) {
  snapshot(doc);
  doc.image = fresh_image(a.string("title"), a.integer("width"), a.integer("height"),
                          a.string("background"));
  return JsonValue("Created \"" + doc.image.title + "\", " + std::to_string(doc.image.width) +
                   " x " + std::to_string(doc.image.height) + " px, with one background layer.");
}

ToolOutput image_info(Lumeno& doc, const Args&) {
  const Image& im = doc.image;
  JsonObject o{{"title", im.title},
               {"width", im.width},
               {"height", im.height},
               {"layers", im.layers.size()},
               {"undoSteps", doc.undo.size()}};
  if (im.selection.width > 0) {
    o.set("selection", JsonObject{{"x", im.selection.x},
                                  {"y", im.selection.y},
                                  {"width", im.selection.width},
                                  {"height", im.selection.height}});
  }
  return JsonValue(std::move(o));
}

ToolOutput resize_image(Lumeno& doc, const Args& a) {
  snapshot(doc);
  doc.image.width = a.integer("width");
  doc.image.height = a.integer("height");
  return JsonValue("Resized the image to " + std::to_string(doc.image.width) + " x " +
                   std::to_string(doc.image.height) + " px (" + a.string("resample") + ").");
}

ToolOutput crop_image(Lumeno& doc, const Args& a) {
  long long x = a.integer("x"), y = a.integer("y"), w = a.integer("width"), h = a.integer("height");
  if (x + w > doc.image.width || y + h > doc.image.height) {
    return fail("the crop rectangle reaches outside the image (" + std::to_string(doc.image.width) +
                " x " + std::to_string(doc.image.height) + " px)");
  }
  snapshot(doc);
  doc.image.width = w;
  doc.image.height = h;
  doc.image.selection = {};
  return JsonValue("Cropped the image to " + std::to_string(w) + " x " + std::to_string(h) +
                   " px.");
}

ToolOutput rotate_image(Lumeno& doc, const Args& a) {
  std::string turn = a.string("degrees");
  long long degrees = turn == "90" ? 90 : turn == "180" ? 180 : 270;
  snapshot(doc);
  if (degrees != 180)
    std::swap(doc.image.width, doc.image.height);
  doc.image.selection = {};
  return JsonValue("Rotated the image by " + std::to_string(degrees) + " degrees; it is now " +
                   std::to_string(doc.image.width) + " x " + std::to_string(doc.image.height) +
                   " px.");
}

ToolOutput flip_image(Lumeno& doc, const Args& a) {
  snapshot(doc);
  for (Layer& l : doc.image.layers)
    l.effects.push_back("flip " + a.string("direction"));
  return JsonValue("Flipped every layer " + a.string("direction") + ".");
}

ToolOutput list_layers(Lumeno& doc, const Args&) {
  JsonArray layers;
  // Top first, as a layers panel shows them.
  for (size_t i = doc.image.layers.size(); i-- > 0;) {
    layers.push_back(layer_json(doc.image.layers[i], i));
  }
  return JsonValue(JsonObject{{"layers", std::move(layers)}});
}

ToolOutput add_layer(Lumeno& doc, const Args& a) {
  snapshot(doc);
  Layer layer = make_layer(doc.image.next_layer_id++, a.string("name"), "raster");
  layer.opacity = a.number("opacity");
  layer.blend_mode = a.string("blendMode");
  if (a.has("fillColor")) {
    layer.kind = "fill";
    layer.content = a.string("fillColor");
  }
  if (layer.name.empty())
    layer.name = "Layer " + std::to_string(layer.id);
  doc.image.layers.push_back(layer);
  return JsonValue("Added layer " + std::to_string(layer.id) + " \"" + layer.name +
                   "\" at the top. The image has " + layer_count(doc.image) + ".");
}

ToolOutput add_text_layer(Lumeno& doc, const Args& a) {
  snapshot(doc);
  Layer layer = make_layer(doc.image.next_layer_id++, a.string("text").substr(0, 24), "text");
  layer.content = a.string("text");
  layer.effects.push_back(a.string("font") + " " + number_text(a.number("size")) + " pt, " +
                          a.string("color") + ", at " + std::to_string(a.integer("x")) + "," +
                          std::to_string(a.integer("y")));
  doc.image.layers.push_back(layer);
  return JsonValue("Added text layer " + std::to_string(layer.id) + " \"" + layer.name + "\".");
}

ToolOutput delete_layer(Lumeno& doc, const Args& a) {
  auto index = find_layer(doc.image, a.string("layer"));
  if (!index.ok())
    return index.failure();
  if (doc.image.layers.size() == 1)
    return fail("an image keeps at least one layer");
  snapshot(doc);
  std::string name = doc.image.layers[*index].name;
  doc.image.layers.erase(doc.image.layers.begin() + static_cast<long>(*index));
  return JsonValue("Deleted layer \"" + name + "\". The image has " + layer_count(doc.image) + ".");
}

ToolOutput rename_layer(Lumeno& doc, const Args& a) {
  return edit_layer(doc, a, [&](Layer& l) {
    std::string old = l.name;
    l.name = a.string("name");
    return "Renamed \"" + old + "\" to \"" + l.name + "\".";
  });
}

ToolOutput duplicate_layer(Lumeno& doc, const Args& a) {
  auto index = find_layer(doc.image, a.string("layer"));
  if (!index.ok())
    return index.failure();
  snapshot(doc);
  Layer copy = doc.image.layers[*index];
  copy.id = doc.image.next_layer_id++;
  copy.name += " copy";
  doc.image.layers.insert(doc.image.layers.begin() + static_cast<long>(*index) + 1, copy);
  return JsonValue("Added layer " + std::to_string(copy.id) + " \"" + copy.name + "\".");
}

ToolOutput move_layer(Lumeno& doc, const Args& a) {
  auto index = find_layer(doc.image, a.string("layer"));
  if (!index.ok())
    return index.failure();
  size_t to = static_cast<size_t>(a.integer("position")) - 1;
  if (to >= doc.image.layers.size()) {
    return fail("`position` must be from 1 to " + std::to_string(doc.image.layers.size()));
  }
  snapshot(doc);
  Layer moved = doc.image.layers[*index];
  doc.image.layers.erase(doc.image.layers.begin() + static_cast<long>(*index));
  doc.image.layers.insert(doc.image.layers.begin() + static_cast<long>(to), moved);
  return JsonValue("Moved \"" + moved.name + "\" to position " + std::to_string(to + 1) +
                   " (1 is the bottom).");
}

ToolOutput set_opacity(Lumeno& doc, const Args& a) {
  return edit_layer(doc, a, [&](Layer& l) {
    l.opacity = a.number("opacity");
    return "Set the opacity of \"" + l.name + "\" to " + number_text(l.opacity) + "%.";
  });
}

ToolOutput set_blend_mode(Lumeno& doc, const Args& a) {
  return edit_layer(doc, a, [&](Layer& l) {
    l.blend_mode = a.string("mode");
    return "Set the blend mode of \"" + l.name + "\" to " + l.blend_mode + ".";
  });
}

ToolOutput set_visibility(Lumeno& doc, const Args& a) {
  return edit_layer(doc, a, [&](Layer& l) {
    l.visible = a.boolean("visible");
    return "\"" + l.name + "\" is now " + (l.visible ? "visible." : "hidden.");
  });
}

ToolOutput merge_down(Lumeno& doc, const Args& a) {
  auto index = find_layer(doc.image, a.string("layer"));
  if (!index.ok())
    return index.failure();
  if (*index == 0)
    return fail("the bottom layer has nothing below it to merge into");
  snapshot(doc);
  Layer top = doc.image.layers[*index];
  Layer& below = doc.image.layers[*index - 1];
  below.effects.push_back("merged \"" + top.name + "\"");
  doc.image.layers.erase(doc.image.layers.begin() + static_cast<long>(*index));
  return JsonValue("Merged \"" + top.name + "\" into \"" + below.name + "\".");
}

ToolOutput flatten_image(Lumeno& doc, const Args&) {
  snapshot(doc);
  Layer flat = make_layer(doc.image.next_layer_id++, "Background", "raster");
  for (const Layer& l : doc.image.layers) {
    if (l.visible)
      flat.effects.push_back("merged \"" + l.name + "\"");
  }
  doc.image.layers = {flat};
  return JsonValue("Flattened the image into one layer.");
}

ToolOutput gaussian_blur(Lumeno& doc, const Args& a) {
  return add_effect(
      doc, a, [&] { return "gaussian blur, radius " + number_text(a.number("radius")) + " px"; });
}

ToolOutput motion_blur(Lumeno& doc, const Args& a) {
  return add_effect(doc, a, [&] {
    return "motion blur, " + number_text(a.number("distance")) + " px at " +
           number_text(a.number("angle")) + " degrees";
  });
}

ToolOutput sharpen(Lumeno& doc, const Args& a) {
  return add_effect(doc, a,
                    [&] { return "sharpen, amount " + number_text(a.number("amount")) + "%"; });
}

ToolOutput brightness_contrast(Lumeno& doc, const Args& a) {
  return add_effect(doc, a, [&] {
    return "brightness " + number_text(a.number("brightness")) + ", contrast " +
           number_text(a.number("contrast"));
  });
}

ToolOutput hue_saturation(Lumeno& doc, const Args& a) {
  return add_effect(doc, a, [&] {
    return "hue " + number_text(a.number("hue")) + ", saturation " +
           number_text(a.number("saturation")) + ", lightness " +
           number_text(a.number("lightness"));
  });
}

ToolOutput grayscale(Lumeno& doc, const Args& a) {
  return add_effect(doc, a, [] { return std::string("grayscale"); });
}

ToolOutput noise_reduction(Lumeno& doc, const Args& a) {
  return add_effect(
      doc, a, [&] { return "noise reduction, strength " + number_text(a.number("strength")); });
}

ToolOutput fill_layer(Lumeno& doc, const Args& a) {
  return edit_layer(doc, a, [&](Layer& l) {
    std::string where = doc.image.selection.width > 0 ? " inside the selection" : "";
    l.effects.push_back("filled with " + a.string("color") + where);
    return "Filled \"" + l.name + "\" with " + a.string("color") + where + ".";
  });
}

ToolOutput select_rectangle(Lumeno& doc, const Args& a) {
  Selection s{a.integer("x"), a.integer("y"), a.integer("width"), a.integer("height")};
  if (s.x + s.width > doc.image.width || s.y + s.height > doc.image.height) {
    return fail("the selection reaches outside the image (" + std::to_string(doc.image.width) +
                " x " + std::to_string(doc.image.height) + " px)");
  }
  doc.image.selection = s;
  return JsonValue("Selected " + std::to_string(s.width) + " x " + std::to_string(s.height) +
                   " px at " + std::to_string(s.x) + "," + std::to_string(s.y) +
                   ". Filters and fills now apply inside it.");
}

ToolOutput clear_selection(Lumeno& doc, const Args&) {
  doc.image.selection = {};
  return JsonValue("Cleared the selection; filters apply to whole layers again.");
}

ToolOutput undo(Lumeno& doc, const Args& a) {
  return undo_steps(doc.undo, doc.image, a.integer("steps"));
}

ToolOutput export_image(Lumeno& doc, const Args& a, const std::string& format) {
  std::string file = a.string("fileName");
  std::string suffix = "." + format;
  if (file.size() < suffix.size() || lower(file.substr(file.size() - suffix.size())) != suffix) {
    file += suffix;
  }
  size_t visible = static_cast<size_t>(std::count_if(
      doc.image.layers.begin(), doc.image.layers.end(), [](const Layer& l) { return l.visible; }));
  JsonObject record{{"file", file},
                    {"format", format},
                    {"width", doc.image.width},
                    {"height", doc.image.height},
                    {"layers", visible}};
  if (format == "pdf") {
    record.set("dpi", a.integer("dpi"));
  } else {
    double scale = a.number("scale");
    record.set("width", static_cast<long long>(std::lround(doc.image.width * scale)));
    record.set("height", static_cast<long long>(std::lround(doc.image.height * scale)));
    record.set("transparent", a.boolean("transparent"));
  }
  doc.exports.push_back(record);
  return JsonValue(std::move(record));
}

ToolOutput export_pdf(Lumeno& doc, const Args& a) {
  return export_image(doc, a, "pdf");
}
ToolOutput export_png(Lumeno& doc, const Args& a) {
  return export_image(doc, a, "png");
}

ToolOutput list_exports(Lumeno& doc, const Args&) {
  return JsonValue(JsonObject{{"exports", JsonArray(doc.exports.begin(), doc.exports.end())}});
}

// Sleeps on purpose: this is the tool that shows how a client's time-out plays out.
ToolOutput render_preview(Lumeno& doc, const Args& a) {
  double seconds = a.number("seconds");
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  size_t effects = 0;
  for (const Layer& l : doc.image.layers)
    effects += l.effects.size();
  return JsonValue("Rendered a " + std::to_string(a.integer("width")) + " px wide preview of \"" +
                   doc.image.title + "\" (" + layer_count(doc.image) + ", " +
                   std::to_string(effects) + " effects) in " + number_text(seconds) + " s.");
}

ToolOutput film_grain(Lumeno& doc, const Args& a) {
  return add_effect(doc, a,
                    [&] { return "film grain, amount " + number_text(a.number("amount")); });
}

ToolOutput halftone(Lumeno& doc, const Args& a) {
  return add_effect(doc, a,
                    [&] { return "halftone, " + std::to_string(a.integer("lpi")) + " lpi"; });
}

ToolOutput install_plugin(Lumeno& doc, const Args& a);

// Tools that act on one layer declare `"layer": {}` in their schema; it is completed to
// this, and made required, when the tools are built.
const char* const LAYER_PROPERTY =
    R"({"type": "string", "minLength": 1, "description": "The layer's id or name, as list_layers shows them."})";

const ToolRow<Lumeno> TOOLS[] = {
    {{"new_image", "New image",
      "Starts a new image of the given size with a single background layer. The current image "
      "is replaced; undo brings it back.",
      R"({"type": "object", "properties": {
          "title": {"type": "string", "default": "Untitled"},
          "width": {"type": "integer", "minimum": 1, "maximum": 20000, "description": "Width in pixels."},
          "height": {"type": "integer", "minimum": 1, "maximum": 20000, "description": "Height in pixels."},
          "background": {"type": "string", "default": "#ffffff", "description": "Background colour as #rrggbb."}},
        "required": ["width", "height"]})",
      DESTRUCTIVE},
     new_image},
    {{"get_image_info", "Image information",
      "Returns the image's title, size in pixels, number of layers, the current selection and "
      "how many steps can be undone. Nothing is changed.",
      R"({"type": "object", "properties": {}})", READ_ONLY},
     image_info},
    {{"resize_image", "Resize image",
      "Scales the whole image, every layer included, to a new size in pixels. Use crop_image "
      "to cut away edges instead.",
      R"({"type": "object", "properties": {
          "width": {"type": "integer", "minimum": 1, "maximum": 20000},
          "height": {"type": "integer", "minimum": 1, "maximum": 20000},
          "resample": {"type": "string", "enum": ["bicubic", "bilinear", "nearest"], "default": "bicubic"}},
        "required": ["width", "height"]})",
      IDEMPOTENT},
     resize_image},
    {{"crop_image", "Crop image",
      "Cuts the image down to a rectangle. The rectangle is given in pixels from the top-left "
      "corner and must lie inside the image.",
      R"({"type": "object", "properties": {
          "x": {"type": "integer", "minimum": 0}, "y": {"type": "integer", "minimum": 0},
          "width": {"type": "integer", "minimum": 1}, "height": {"type": "integer", "minimum": 1}},
        "required": ["x", "y", "width", "height"]})",
      DESTRUCTIVE},
     crop_image},
    {{"rotate_image", "Rotate image",
      "Turns the whole image clockwise by a quarter, half or three-quarter turn. Width and "
      "height swap for quarter turns.",
      R"({"type": "object", "properties": {
          "degrees": {"type": "string", "enum": ["90", "180", "270"]}}, "required": ["degrees"]})",
      0},
     rotate_image},
    {{"flip_image", "Flip image",
      "Mirrors every layer of the image. Horizontal swaps left and right, vertical swaps top "
      "and bottom.",
      R"({"type": "object", "properties": {
          "direction": {"type": "string", "enum": ["horizontal", "vertical"]}}, "required": ["direction"]})",
      0},
     flip_image},
    {{"list_layers", "List layers",
      "Lists the image's layers from top to bottom with their id, name, kind, visibility, "
      "opacity, blend mode and the effects applied to each. Position 1 is the bottom of the stack.",
      R"({"type": "object", "properties": {}})", READ_ONLY},
     list_layers},
    {{"add_layer", "Add layer",
      "Creates a new empty layer at the top of the stack. Give a fill colour to create a solid "
      "fill layer instead of an empty one.",
      R"({"type": "object", "properties": {
          "name": {"type": "string", "description": "Defaults to \"Layer N\"."},
          "opacity": {"type": "number", "minimum": 0, "maximum": 100, "default": 100},
          "blendMode": {"type": "string", "enum": ["normal", "multiply", "screen", "overlay", "darken", "lighten"], "default": "normal"},
          "fillColor": {"type": "string", "description": "Colour as #rrggbb for a fill layer."}}})",
      0},
     add_layer},
    {{"add_text_layer", "Add text layer",
      "Places a line of text on a new layer at the top of the stack. The position is the "
      "text's top-left corner in pixels.",
      R"({"type": "object", "properties": {
          "text": {"type": "string", "minLength": 1},
          "font": {"type": "string", "default": "Inter"},
          "size": {"type": "number", "minimum": 1, "maximum": 1000, "default": 48},
          "color": {"type": "string", "default": "#000000"},
          "x": {"type": "integer", "default": 0}, "y": {"type": "integer", "default": 0}},
        "required": ["text"]})",
      0},
     add_text_layer},
    {{"delete_layer", "Delete layer",
      "Removes a layer and its content from the image. The last remaining layer cannot be "
      "deleted.",
      R"({"type": "object", "properties": {"layer": {}}})", DESTRUCTIVE},
     delete_layer},
    {{"rename_layer", "Rename layer", "Gives a layer a new name. Layer ids stay the same.",
      R"({"type": "object", "properties": {"layer": {}, "name": {"type": "string", "minLength": 1}}, "required": ["name"]})",
      IDEMPOTENT},
     rename_layer},
    {{"duplicate_layer", "Duplicate layer",
      "Copies a layer with its content and effects and places the copy just above it. The copy "
      "gets a new id and the name of the original with \" copy\" added.",
      R"({"type": "object", "properties": {"layer": {}}})", 0},
     duplicate_layer},
    {{"move_layer", "Move layer",
      "Moves a layer to another place in the stack. Position 1 is the bottom; the highest "
      "position is the top.",
      R"({"type": "object", "properties": {"layer": {}, "position": {"type": "integer", "minimum": 1}}, "required": ["position"]})",
      IDEMPOTENT},
     move_layer},
    {{"set_layer_opacity", "Set layer opacity",
      "Sets how opaque a layer is, from 0 (invisible) to 100 percent (fully opaque). Hidden layers "
      "keep their opacity for when they are shown again.",
      R"({"type": "object", "properties": {"layer": {}, "opacity": {"type": "number", "minimum": 0, "maximum": 100}}, "required": ["opacity"]})",
      IDEMPOTENT},
     set_opacity},
    {{"set_blend_mode", "Set blend mode",
      "Chooses how a layer's pixels combine with the layers below it, such as multiply or "
      "screen. The layer's pixels themselves are not changed.",
      R"({"type": "object", "properties": {"layer": {}, "mode": {"type": "string", "enum": ["normal", "multiply", "screen", "overlay", "darken", "lighten"]}}, "required": ["mode"]})",
      IDEMPOTENT},
     set_blend_mode},
    {{"set_layer_visibility", "Show or hide layer",
      "Shows or hides a layer. Hidden layers are left out of previews and exports.",
      R"({"type": "object", "properties": {"layer": {}, "visible": {"type": "boolean"}}, "required": ["visible"]})",
      IDEMPOTENT},
     set_visibility},
    {{"merge_down", "Merge down",
      "Merges a layer into the layer directly below it. The merged layer disappears from the "
      "stack.",
      R"({"type": "object", "properties": {"layer": {}}})", DESTRUCTIVE},
     merge_down},
    {{"flatten_image", "Flatten image",
      "Merges all visible layers into a single background layer and discards hidden ones. Effects "
      "are kept as part of the merged pixels; the step can be undone.",
      R"({"type": "object", "properties": {}})", DESTRUCTIVE},
     flatten_image},
    {{"apply_gaussian_blur", "Gaussian blur",
      "Softens a layer with a Gaussian blur. The radius is in pixels; larger values blur more. "
      "With a selection, only the selected area is blurred.",
      R"({"type": "object", "properties": {"layer": {}, "radius": {"type": "number", "minimum": 0.1, "maximum": 250, "default": 4, "description": "Blur radius in pixels."}}})",
      0},
     gaussian_blur},
    {{"apply_motion_blur", "Motion blur",
      "Smears a layer along a direction, as if the camera moved. Distance is in pixels, angle "
      "in degrees.",
      R"({"type": "object", "properties": {"layer": {}, "distance": {"type": "number", "minimum": 1, "maximum": 500, "default": 10}, "angle": {"type": "number", "minimum": -360, "maximum": 360, "default": 0}}})",
      0},
     motion_blur},
    {{"apply_sharpen", "Sharpen",
      "Makes edges in a layer crisper with an unsharp mask. Amount is in percent.",
      R"({"type": "object", "properties": {"layer": {}, "amount": {"type": "number", "minimum": 1, "maximum": 500, "default": 50}}})",
      0},
     sharpen},
    {{"adjust_brightness_contrast", "Brightness and contrast",
      "Brightens or darkens a layer and raises or lowers its contrast. Both values run from "
      "-100 to 100; 0 leaves the layer unchanged.",
      R"({"type": "object", "properties": {"layer": {}, "brightness": {"type": "number", "minimum": -100, "maximum": 100, "default": 0}, "contrast": {"type": "number", "minimum": -100, "maximum": 100, "default": 0}}})",
      0},
     brightness_contrast},
    {{"adjust_hue_saturation", "Hue and saturation",
      "Shifts a layer's colours around the colour wheel and changes their saturation and "
      "lightness. Hue is in degrees, the others in percent.",
      R"({"type": "object", "properties": {"layer": {}, "hue": {"type": "number", "minimum": -180, "maximum": 180, "default": 0}, "saturation": {"type": "number", "minimum": -100, "maximum": 100, "default": 0}, "lightness": {"type": "number", "minimum": -100, "maximum": 100, "default": 0}}})",
      0},
     hue_saturation},
    {{"convert_to_grayscale", "Grayscale",
      "Removes all colour from a layer, keeping its brightness, for a black-and-white look. Use "
      "adjust_hue_saturation for a partial desaturation instead.",
      R"({"type": "object", "properties": {"layer": {}}})", 0},
     grayscale},
    {{"reduce_noise", "Reduce noise",
      "Smooths out grain and colour speckles in a layer, for example in a photo taken in low "
      "light, while keeping edges. Higher strength smooths more but loses fine detail.",
      R"({"type": "object", "properties": {"layer": {}, "strength": {"type": "number", "minimum": 1, "maximum": 10, "default": 5}}})",
      0},
     noise_reduction},
    {{"fill_layer", "Fill with colour",
      "Paints a layer with a solid colour. With a selection, only the selected area is filled.",
      R"({"type": "object", "properties": {"layer": {}, "color": {"type": "string", "minLength": 1, "description": "Colour as #rrggbb."}}, "required": ["color"]})",
      0},
     fill_layer},
    {{"select_rectangle", "Select rectangle",
      "Selects a rectangular area. Filters, adjustments and fills then change only the "
      "selected pixels until the selection is cleared.",
      R"({"type": "object", "properties": {
          "x": {"type": "integer", "minimum": 0}, "y": {"type": "integer", "minimum": 0},
          "width": {"type": "integer", "minimum": 1}, "height": {"type": "integer", "minimum": 1}},
        "required": ["x", "y", "width", "height"]})",
      IDEMPOTENT},
     select_rectangle},
    {{"clear_selection", "Clear selection",
      "Drops the current selection, so that filters and fills apply to whole layers again. The "
      "pixels themselves are not changed.",
      R"({"type": "object", "properties": {}})", IDEMPOTENT},
     clear_selection},
    {{"undo", "Undo",
      "Takes back the last changes to the image, one step at a time. Up to 50 steps are kept.",
      R"({"type": "object", "properties": {"steps": {"type": "integer", "minimum": 1, "maximum": 50, "default": 1}}})",
      0},
     undo},
    {{"export_pdf", "Export as PDF",
      "Writes the visible layers as a print-ready PDF document. The resolution is in dots per "
      "inch. This sample keeps exports in memory; list_exports shows them.",
      R"({"type": "object", "properties": {
          "fileName": {"type": "string", "minLength": 1},
          "dpi": {"type": "integer", "minimum": 72, "maximum": 1200, "default": 300}},
        "required": ["fileName"]})",
      0},
     export_pdf},
    {{"export_png", "Export as PNG",
      "Writes the visible layers as a PNG picture, optionally scaled and with a transparent "
      "background. This sample keeps exports in memory; list_exports shows them.",
      R"({"type": "object", "properties": {
          "fileName": {"type": "string", "minLength": 1},
          "scale": {"type": "number", "minimum": 0.01, "maximum": 10, "default": 1},
          "transparent": {"type": "boolean", "default": false}},
        "required": ["fileName"]})",
      0},
     export_png},
    {{"list_exports", "List exports",
      "Lists the files exported in this session, oldest first. Each entry gives the file name, the "
      "format and what went into the file.",
      R"({"type": "object", "properties": {}})", READ_ONLY},
     list_exports},
    {{"render_preview", "Render preview",
      "Renders a full-quality preview of the image with every effect applied. Rendering large "
      "images takes a while; in this sample, seconds sets how long it takes.",
      R"({"type": "object", "properties": {
          "width": {"type": "integer", "minimum": 16, "maximum": 4096, "default": 800},
          "seconds": {"type": "number", "minimum": 0, "maximum": 3600, "default": 2}}})",
      READ_ONLY},
     render_preview},
    {{"list_plugins", "List plug-ins",
      "Lists the filter plug-ins that can be installed and whether each is installed. "
      "Installing one adds its filter as a new tool.",
      R"({"type": "object", "properties": {}})", READ_ONLY},
     [](Lumeno& doc, const Args&) -> ToolOutput {
       JsonArray list;
       for (const char* p : {"film-grain", "halftone"}) {
         bool on = std::find(doc.plugins.begin(), doc.plugins.end(), p) != doc.plugins.end();
         list.push_back(JsonObject{{"plugin", p}, {"installed", on}});
       }
       return JsonValue(JsonObject{{"plugins", std::move(list)}});
     }},
    {{"install_plugin", "Install plug-in",
      "Installs a filter plug-in. Its filter appears as a new tool, and clients are told "
      "that the tool list changed.",
      R"({"type": "object", "properties": {"plugin": {"type": "string", "enum": ["film-grain", "halftone"]}}, "required": ["plugin"]})",
      IDEMPOTENT},
     install_plugin},
};

const ToolRow<Lumeno> PLUGIN_TOOLS[] = {
    {{"apply_film_grain", "Film grain",
      "Adds the grain of analogue film to a layer. Comes with the film-grain plug-in.",
      R"({"type": "object", "properties": {"layer": {}, "amount": {"type": "number", "minimum": 1, "maximum": 100, "default": 25}}})",
      0},
     film_grain},
    {{"apply_halftone", "Halftone",
      "Turns a layer into a pattern of printed dots. Comes with the halftone plug-in.",
      R"({"type": "object", "properties": {"layer": {}, "lpi": {"type": "integer", "minimum": 10, "maximum": 300, "default": 60}}})",
      0},
     halftone},
};

// A tool of a table row bound to the document, with its `layer` property completed.
Result<Tool> bind_tool(const ToolRow<Lumeno>& row, const std::shared_ptr<Lumeno>& doc) {
  auto schema = parse_schema(row.info);
  if (!schema.ok())
    return schema.failure();
  const JsonValue* properties = schema->find("properties");
  if (properties && properties->find("layer")) {
    auto layer = parse_json(LAYER_PROPERTY);
    if (!layer.ok())
      return layer.failure();
    JsonObject completed(*properties->as_object());
    completed.set("layer", std::move(layer).take());
    JsonArray required{"layer"};
    if (const JsonValue* more = schema->find("required"); more && more->as_array()) {
      for (const JsonValue& name : *more->as_array())
        required.push_back(name);
    }
    JsonObject bound(*schema->as_object());
    bound.set("properties", std::move(completed));
    bound.set("required", std::move(required));
    *schema = JsonValue(std::move(bound));
  }
  auto run = row.run;
  return Tool{row.info, std::move(schema).take(),
              [doc, run](const Args& args) { return run(*doc, args); }};
}

ToolOutput install_plugin(Lumeno& doc, const Args& a) {
  std::string plugin = a.string("plugin");
  if (std::find(doc.plugins.begin(), doc.plugins.end(), plugin) != doc.plugins.end()) {
    return JsonValue("The " + plugin + " plug-in is already installed.");
  }
  const ToolRow<Lumeno>& row = PLUGIN_TOOLS[plugin == "film-grain" ? 0 : 1];
  auto tool = bind_tool(row, doc.self.lock());
  if (!tool.ok())
    return tool.failure();
  doc.app->tools.push_back(std::move(tool).take());
  doc.plugins.push_back(plugin);
  doc.app->tools_changed = true;
  return JsonValue("Installed the " + plugin + " plug-in; its tool " + row.info.name +
                   " is now available.");
}

}  // namespace

Result<void> make_lumeno(AppDefinition* app) {
  auto doc = std::make_shared<Lumeno>();
  doc->app = app;
  doc->self = doc;
  doc->image = fresh_image("Untitled", 1920, 1080, "#ffffff");
  app->tools.clear();
  for (const ToolRow<Lumeno>& row : TOOLS) {
    auto tool = bind_tool(row, doc);
    if (!tool.ok())
      return tool.failure();
    app->tools.push_back(std::move(tool).take());
  }
  app->id = "lumeno";
  app->title = "Lumeno";
  app->version = "4.2.0";
  app->instructions =
      "Lumeno edits one image made of layers. list_layers shows the stack; layers are named "
      "by id or name. Changes can be undone with undo.";
  return {};
}

}  // namespace brask::sample
