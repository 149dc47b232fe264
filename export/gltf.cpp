#include <cmath>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <tiny_gltf.h>

#include "common/numeric.h"
#include "export/export.h"

// The scene as glTF 2.0 through tinygltf: Y up, metres (or the numbers' units
// where no marker diameter was given), one buffer with the ground's and the
// disc's positions and indices. The sun is a KHR_lights_punctual directional
// light, its intensity the illuminance in lux: 683 lux per W/m^2, the
// luminous efficacy at 555 nm, the same constant Blender's glTF importer and
// exporter use for a sun, so Blender reads back the strength it was given.
//
// tinygltf 2.7 writes to a stream with every buffer embedded as a data URI
// and always writes a perspective camera's zfar (0 when none is meant, which
// is invalid glTF): its JSON is taken back, the buffer pointed at the .bin
// and zfar removed, which leaves an infinite projection.

static const int kComponentFloat = TINYGLTF_COMPONENT_TYPE_FLOAT;
static const int kComponentIndex = TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT;
static const double kGroundGrey = 0.5;  // linear base colour of the ground
static const int kJsonIndent = 2;       // spaces per level of the .gltf's JSON

using tinygltf::Value;

struct Geometry {
    std::vector<float> positions;    // x, y, z
    std::vector<uint16_t> indices;
};

// Adds one mesh's vertices and triangles (counter-clockwise seen from above,
// so the front faces up) and its accessors; the mesh's own index.
static int AddMesh(tinygltf::Model *model, Geometry *geometry, const std::vector<float> &positions,
                   const std::vector<uint16_t> &indices, const char *name, double grey)
{
    tinygltf::Accessor points;
    points.bufferView = 0;
    points.byteOffset = geometry->positions.size() * sizeof(float);
    points.componentType = kComponentFloat;
    points.count = positions.size() / 3;
    points.type = TINYGLTF_TYPE_VEC3;
    points.minValues = {positions[0], positions[1], positions[2]};
    points.maxValues = points.minValues;
    for (size_t i = 0; i < positions.size(); i++) {
        points.minValues[i % 3] = std::fmin(points.minValues[i % 3], positions[i]);
        points.maxValues[i % 3] = std::fmax(points.maxValues[i % 3], positions[i]);
    }
    tinygltf::Accessor triangles;
    triangles.bufferView = 1;
    triangles.byteOffset = geometry->indices.size() * sizeof(uint16_t);
    triangles.componentType = kComponentIndex;
    triangles.count = indices.size();
    triangles.type = TINYGLTF_TYPE_SCALAR;
    geometry->positions.insert(geometry->positions.end(), positions.begin(), positions.end());
    geometry->indices.insert(geometry->indices.end(), indices.begin(), indices.end());

    tinygltf::Material material;
    material.name = name;
    material.pbrMetallicRoughness.baseColorFactor = {grey, grey, grey, 1.0};
    material.pbrMetallicRoughness.metallicFactor = 0.0;
    material.pbrMetallicRoughness.roughnessFactor = 1.0;
    tinygltf::Primitive primitive;
    primitive.attributes["POSITION"] = static_cast<int>(model->accessors.size());
    primitive.indices = primitive.attributes["POSITION"] + 1;
    primitive.material = static_cast<int>(model->materials.size());
    primitive.mode = TINYGLTF_MODE_TRIANGLES;
    model->accessors.push_back(points);
    model->accessors.push_back(triangles);
    model->materials.push_back(material);
    tinygltf::Mesh mesh;
    mesh.name = name;
    mesh.primitives.push_back(primitive);
    model->meshes.push_back(mesh);
    return static_cast<int>(model->meshes.size()) - 1;
}

// The ground's square in the Y-up frame: (x, 0, z) with z = -y of the
// Z-up frame, so counter-clockwise from above runs (-h, h), (h, h), (h, -h).
static int AddGround(tinygltf::Model *model, Geometry *geometry, const MatchScene &scene)
{
    const float h = static_cast<float>(kGroundHalfSide * scene.scale);
    return AddMesh(model, geometry, {-h, 0, h, h, 0, h, h, 0, -h, -h, 0, -h}, {0, 1, 2, 0, 2, 3},
                   "Quillmarsh ground", kGroundGrey);
}

// The disc as a fan around its centre (the last vertex); its rim at
// (r cos a, top, -r sin a) runs counter-clockwise seen from above.
static int AddDisc(tinygltf::Model *model, Geometry *geometry, const MatchScene &scene)
{
    const double radius = 0.5 * kNumbersMarkerDiameter * scene.scale, top = kMarkerTop * scene.scale;
    std::vector<float> positions;
    std::vector<uint16_t> indices;
    for (int i = 0; i < kDiscSegments; i++) {
        const double a = 2.0 * kPi * i / kDiscSegments;
        positions.insert(positions.end(), {static_cast<float>(radius * std::cos(a)), static_cast<float>(top),
                                           static_cast<float>(-radius * std::sin(a))});
        indices.insert(indices.end(), {static_cast<uint16_t>(kDiscSegments), static_cast<uint16_t>(i),
                                       static_cast<uint16_t>((i + 1) % kDiscSegments)});
    }
    positions.insert(positions.end(), {0.0f, static_cast<float>(top), 0.0f});
    return AddMesh(model, geometry, positions, indices, "Quillmarsh reference disc", 1.0);
}

// The buffer: positions, then indices, each in its own view.
static void AddBuffer(tinygltf::Model *model, const Geometry &geometry, const std::string &binName)
{
    const size_t positionBytes = geometry.positions.size() * sizeof(float);
    const size_t indexBytes = geometry.indices.size() * sizeof(uint16_t);
    tinygltf::Buffer buffer;
    buffer.uri = binName;
    buffer.data.resize(positionBytes + indexBytes);
    std::memcpy(buffer.data.data(), geometry.positions.data(), positionBytes);
    std::memcpy(buffer.data.data() + positionBytes, geometry.indices.data(), indexBytes);
    model->buffers.push_back(buffer);
    tinygltf::BufferView positions, indices;
    positions.buffer = indices.buffer = 0;
    positions.byteLength = positionBytes;
    positions.byteStride = 3 * sizeof(float);  // both meshes' positions share the view
    positions.target = TINYGLTF_TARGET_ARRAY_BUFFER;
    indices.byteOffset = positionBytes;
    indices.byteLength = indexBytes;
    indices.target = TINYGLTF_TARGET_ELEMENT_ARRAY_BUFFER;
    model->bufferViews.push_back(positions);
    model->bufferViews.push_back(indices);
}

static std::vector<double> ColumnMajor(const Placement &placement)
{
    std::vector<double> m;
    for (int column = 0; column < 4; column++)
        for (int row = 0; row < 4; row++)
            m.push_back(placement.m[row][column]);
    return m;
}

static int AddNode(tinygltf::Model *model, const std::string &name, const Placement *placement)
{
    tinygltf::Node node;
    node.name = name;
    if (placement != nullptr)
        node.matrix = ColumnMajor(*placement);
    model->nodes.push_back(node);
    model->scenes[0].nodes.push_back(static_cast<int>(model->nodes.size()) - 1);
    return static_cast<int>(model->nodes.size()) - 1;
}

static void AddCamera(tinygltf::Model *model, const MatchScene &scene, const std::string &stem)
{
    tinygltf::Camera camera;
    camera.type = "perspective";
    camera.name = stem;
    camera.perspective.aspectRatio = static_cast<double>(scene.width) / scene.height;
    camera.perspective.yfov = VerticalFieldOfView(scene);
    camera.perspective.znear = kNearFraction * CameraDistance(scene);
    camera.extras = Value(Value::Object{{"imageWidth", Value(static_cast<int>(scene.width))},
                                        {"imageHeight", Value(static_cast<int>(scene.height))},
                                        {"photo", Value(std::string(scene.photoName))},
                                        {"fovLongSideDegrees", Value(scene.fov)}});
    model->cameras.push_back(camera);
    Placement placement;
    CameraPlacement(scene, &placement);
    model->nodes[AddNode(model, stem, &placement)].camera = 0;
}

static void AddSun(tinygltf::Model *model, const MatchScene &scene, const SunLight &sun, const std::string &stem)
{
    tinygltf::Light light;
    light.name = stem + " sun";
    light.type = "directional";
    light.color = {sun.color[0], sun.color[1], sun.color[2]};
    light.intensity = sun.strength * kLuxPerWattPerSquareMetre;
    light.extras = Value(Value::Object{{"angularDiameterDegrees", Value(kSunAngleDegrees)},
                                       {"strengthWattsPerSquareMetre", Value(sun.strength)}});
    model->lights.push_back(light);
    Placement placement;
    SunPlacement(scene, &placement);
    const int node = AddNode(model, light.name, &placement);
    // tinygltf 2.7's Node has no light of its own: the reference is the extension's.
    model->nodes[node].extensions["KHR_lights_punctual"] = Value(Value::Object{{"light", Value(0)}});
}

// A file name as a relative URI reference (RFC 3986): every byte but the
// unreserved letters, digits and "-._~" percent-encoded, so spaces, quotes,
// non-ASCII names and bytes that are no UTF-8 all reach the file.
static std::string RelativeUri(const std::string &name)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string uri;
    for (unsigned char c : name) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~')
            uri += static_cast<char>(c);
        else
            uri += std::string("%") + kHex[c >> 4] + kHex[c & 0xF];
    }
    return uri;
}

int GltfDocuments(const MatchScene &given, const SunLight &sun, const std::string &binName, std::string *gltf,
                  std::string *bin, std::string *reason)
{
    const std::string photoName = ValidUtf8(given.photoName), uri = RelativeUri(binName);
    MatchScene scene = given;
    scene.photoName = photoName.c_str();
    const std::string stem = PhotoStem(scene.photoName);
    tinygltf::Model model;
    model.asset.version = "2.0";
    model.asset.generator = "Quillmarsh";
    model.asset.extras = Value(Value::Object{
        {"estimate", Value(std::string(scene.estimate))},
        {"units", Value(std::string(scene.metric ? "metres" : "the measurement's own units"))},
        {"markerDiameter", Value(kNumbersMarkerDiameter * scene.scale)}});
    tinygltf::Scene root;
    root.name = stem + " (" + scene.estimate + " estimate)";
    root.extras = Value(Value::Object{{"estimate", Value(std::string(scene.estimate))},
                                      {"photo", Value(std::string(scene.photoName))}});
    model.scenes.push_back(root);
    model.defaultScene = 0;

    AddCamera(&model, scene, stem);
    if (scene.lightFound)
        AddSun(&model, scene, sun, stem);
    Geometry geometry;
    model.nodes[AddNode(&model, "Quillmarsh ground", nullptr)].mesh = AddGround(&model, &geometry, scene);
    model.nodes[AddNode(&model, "Quillmarsh reference disc", nullptr)].mesh = AddDisc(&model, &geometry, scene);
    AddBuffer(&model, geometry, uri);

    std::ostringstream stream;
    tinygltf::TinyGLTF writer;
    if (!writer.WriteGltfSceneToStream(&model, stream, false, false)) {
        *reason = "tinygltf could not write the glTF";
        return 0;
    }
    nlohmann::json document = nlohmann::json::parse(stream.str(), nullptr, false);
    if (document.is_discarded() || !document.contains("buffers") || !document.contains("cameras")) {
        *reason = "tinygltf wrote no readable glTF";
        return 0;
    }
    document["buffers"][0]["uri"] = uri;
    for (nlohmann::json &camera : document["cameras"])
        camera["perspective"].erase("zfar");
    *gltf = document.dump(kJsonIndent) + "\n";
    bin->assign(model.buffers[0].data.begin(), model.buffers[0].data.end());
    return 1;
}
