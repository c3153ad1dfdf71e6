// placeholder
namespace refhost {}
